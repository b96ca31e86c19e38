// Two paths, one answer: exact quantiles against sorting, split-invariance, merges that
// must equal one stream, round trips of the stored form.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "quantile_test_support.h"

namespace {

using quantile_test::Shape;
using quantiles::QuantileSketch;

constexpr double kRanks[] = {0.0,  1e-9, 0.001, 0.01, 0.05, 0.1,  0.25, 0.3333,
                             0.5,  0.6,  0.75,  0.9,  0.95, 0.99, 0.999, 1.0};

constexpr Shape kShapes[] = {Shape::kUniform, Shape::kLognormal, Shape::kFewDistinct,
                             Shape::kSorted,  Shape::kReversed,  Shape::kNegativeZeros};

// ---- exactness ----------------------------------------------------------------------

struct ExactCase {
    Shape shape;
    std::size_t n;
};

class Exact : public ::testing::TestWithParam<ExactCase> {};

TEST_P(Exact, EveryRankIsTheInvertedCdf) {
    const auto values = quantile_test::make_values(GetParam().shape, GetParam().n);
    QuantileSketch s(11);
    s.update_many(values);
    ASSERT_TRUE(s.is_exact());
    EXPECT_EQ(s.count(), values.size());
    for (const double q : kRanks) {
        const double expected = quantile_test::exact_quantile(values, q);
        EXPECT_EQ(s.quantile(q), expected) << "q=" << q;
        EXPECT_FALSE(s.quantile(q) == 0.0 && std::signbit(s.quantile(q))) << "-0.0 answered";
    }
    const auto reported = s.reported_quantiles();
    for (std::size_t i = 0; i < reported.size(); ++i) {
        EXPECT_EQ(reported[i], s.quantile(quantiles::kReportedRanks[i]));
    }
}

std::vector<ExactCase> exact_cases() {
    std::vector<ExactCase> cases;
    for (const Shape shape : kShapes) {
        for (const std::size_t n : {1, 2, 3, 7, 100, 399, 599, 600}) {
            cases.push_back({shape, n});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, Exact, ::testing::ValuesIn(exact_cases()));

TEST(Exact, FirstKValuesKeptThenCompacts) {
    QuantileSketch s(1);
    for (int i = 0; i < 600; ++i) {
        s.update(i);
    }
    EXPECT_TRUE(s.is_exact());
    s.update(600);
    EXPECT_FALSE(s.is_exact());
    EXPECT_EQ(quantile_test::broken_invariant(s), "");
}

TEST(Queries, EmptyAndInvalidRanks) {
    QuantileSketch s(1);
    EXPECT_TRUE(std::isnan(s.quantile(0.5)));
    EXPECT_EQ(s.count(), 0u);
    EXPECT_EQ(s.min(), std::numeric_limits<double>::infinity());
    s.update(3.0);
    for (const double bad : {-0.1, 1.5, std::nan("")}) {
        EXPECT_THROW(s.quantile(bad), std::invalid_argument);
    }
    double out[2];
    const double ranks[1] = {0.5};
    EXPECT_THROW(s.quantiles(ranks, out), std::invalid_argument);
}

TEST(Queries, NonFiniteValuesAreSkipped) {
    QuantileSketch with(5), without(5);
    const double inf = std::numeric_limits<double>::infinity();
    for (int i = 0; i < 5000; ++i) {
        with.update(i % 3 == 0 ? std::nan("") : (i % 3 == 1 ? -inf : i));
        if (i % 3 == 2) {
            without.update(i);
        }
    }
    EXPECT_EQ(with, without);
}

// A full buffer followed by values that are skipped must not compact early in either path.
TEST(Queries, SkippedValuesAtAFullBufferDoNotCompact) {
    std::vector<double> values;
    for (int i = 0; i < 8; ++i) {
        values.push_back(i);
        values.push_back(std::nan(""));
    }
    QuantileSketch per_value(1, 8), batched(1, 8);
    for (const double v : values) {
        per_value.update(v);
    }
    batched.update_many(values);
    EXPECT_TRUE(batched.is_exact());
    EXPECT_EQ(per_value, batched);
}

// ---- split invariance ---------------------------------------------------------------

struct SplitCase {
    Shape shape;
    std::uint32_t k;  // 8: the sampler takes over after a few thousand values
};

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, PerValueBatchesAndOneCallAgree) {
    auto values = quantile_test::make_values(GetParam().shape, 200000, 3);
    values[17] = std::nan("");
    values[50000] = std::numeric_limits<double>::infinity();
    const std::uint32_t k = GetParam().k;
    QuantileSketch one(42, k), per_value(42, k), batches(42, k);
    one.update_many(values);
    for (const double v : values) {
        per_value.update(v);
    }
    std::mt19937_64 random(9);
    for (std::size_t i = 0; i < values.size();) {
        const std::size_t len = std::min<std::size_t>(random() % 3000, values.size() - i);
        batches.update_many(std::span(values).subspan(i, len));
        i += len;
    }
    EXPECT_EQ(one, per_value);
    EXPECT_EQ(one, batches);
    EXPECT_EQ(quantile_test::bytes_of(one), quantile_test::bytes_of(batches));
    EXPECT_EQ(quantile_test::broken_invariant(one), "");
    EXPECT_EQ(one.count(), values.size() - 2);
    if (k == 8) {
        EXPECT_GT(one.sampled_levels(), 0u);
    }
}

std::vector<SplitCase> split_cases() {
    std::vector<SplitCase> cases;
    for (const Shape shape : kShapes) {
        cases.push_back({shape, quantiles::kDefaultK});
        cases.push_back({shape, 8});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, Split, ::testing::ValuesIn(split_cases()));

TEST(Determinism, SeedDecidesCoins) {
    const auto values = quantile_test::make_values(Shape::kUniform, 50000);
    QuantileSketch a(1), b(1), c(2);
    a.update_many(values);
    b.update_many(values);
    c.update_many(values);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

// ---- merges -------------------------------------------------------------------------

struct MergeCase {
    std::size_t left;
    std::size_t right;
};

class MergeReplay : public ::testing::TestWithParam<MergeCase> {};

// A right side that never compacted is replayed: the merge is the one stream, left then
// right, byte for byte (exact when the total stays within k).
TEST_P(MergeReplay, EqualsTheConcatenatedStream) {
    const auto values =
        quantile_test::make_values(Shape::kLognormal, GetParam().left + GetParam().right);
    const std::span<const double> all(values);
    QuantileSketch left(8), right(8), whole(8);
    left.update_many(all.first(GetParam().left));
    right.update_many(all.subspan(GetParam().left));
    whole.update_many(all);
    ASSERT_TRUE(right.is_exact());
    left.merge(right);
    EXPECT_EQ(left, whole);
    if (!values.empty() && values.size() <= quantiles::kDefaultK) {
        EXPECT_TRUE(left.is_exact());
        for (const double q : kRanks) {
            EXPECT_EQ(left.quantile(q), quantile_test::exact_quantile(values, q));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MergeReplay,
                         ::testing::Values(MergeCase{0, 0}, MergeCase{0, 1}, MergeCase{1, 0},
                                           MergeCase{100, 200}, MergeCase{300, 300},
                                           MergeCase{500, 400}, MergeCase{100000, 599}));

// Merged in any order or tree, shards of a stream keep every rank within 1%, and the
// merged sketch keeps its invariants and memory bound.
TEST(MergeTrees, AnyOrderKeepsTheBound) {
    for (const Shape shape : {Shape::kUniform, Shape::kSorted, Shape::kFewDistinct}) {
        const auto values = quantile_test::make_values(shape, 400000, 5);
        auto sorted = values;
        std::sort(sorted.begin(), sorted.end());
        std::vector<QuantileSketch> shards;
        for (std::size_t i = 0; i < 16; ++i) {
            shards.emplace_back(77);
            shards.back().update_many(std::span(values).subspan(i * 25000, 25000));
        }
        QuantileSketch chain(77), tree(77);
        for (std::size_t i = 16; i-- > 0;) {
            chain.merge(shards[i]);
        }
        std::vector<QuantileSketch> level = shards;
        while (level.size() > 1) {
            std::vector<QuantileSketch> next;
            for (std::size_t i = 0; i < level.size(); i += 2) {
                next.push_back(level[i]);
                next.back().merge(level[i + 1]);
            }
            level = std::move(next);
        }
        tree.merge(level[0]);
        for (const QuantileSketch* s : {&chain, &tree}) {
            EXPECT_EQ(quantile_test::broken_invariant(*s), "");
            EXPECT_EQ(s->count(), values.size());
            EXPECT_EQ(s->min(), sorted.front());
            EXPECT_EQ(s->max(), sorted.back());
            EXPECT_LE(s->memory_bytes(), 16384u);
            for (const double q : quantiles::kReportedRanks) {
                EXPECT_LE(quantile_test::rank_error(sorted, q, s->quantile(q)), 0.01)
                    << quantile_test::shape_name(shape) << " q=" << q;
            }
        }
    }
}

// Sketches whose samplers stand at different levels (and exact ones) merge in any order
// into sound sketches of the whole count, within the bound for their small k.
TEST(MergeTrees, SamplersAtDifferentLevels) {
    const std::size_t sizes[] = {20, 5000, 300000, 100, 60000, 1};
    std::vector<double> all;
    std::vector<QuantileSketch> parts;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        const auto values = quantile_test::make_values(Shape::kLognormal, sizes[i], i + 1);
        all.insert(all.end(), values.begin(), values.end());
        parts.emplace_back(i, 16);
        parts.back().update_many(values);
    }
    std::sort(all.begin(), all.end());
    for (const bool reverse : {false, true}) {
        QuantileSketch merged(100, 16);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            merged.merge(parts[reverse ? parts.size() - 1 - i : i]);
            EXPECT_EQ(quantile_test::broken_invariant(merged), "") << "after part " << i;
        }
        EXPECT_EQ(merged.count(), all.size());
        EXPECT_GT(merged.sampled_levels(), 0u);
        EXPECT_EQ(merged.min(), all.front());
        EXPECT_EQ(merged.max(), all.back());
        for (const double q : quantiles::kReportedRanks) {
            EXPECT_LE(quantile_test::rank_error(all, q, merged.quantile(q)), 0.1) << q;
        }
        const auto bytes = quantile_test::bytes_of(merged);
        EXPECT_EQ(quantile_test::from_bytes(bytes, 100), merged);
    }
}

TEST(MergeTrees, SelfMergeDoublesEveryWeight) {
    QuantileSketch s(3);
    s.update_many(quantile_test::make_values(Shape::kUniform, 10000));
    QuantileSketch copy = s;
    QuantileSketch twice = s;
    twice.merge(copy);
    s.merge(s);
    EXPECT_EQ(s, twice);
    EXPECT_EQ(s.count(), 20000u);
}

TEST(MergeTrees, DifferentKDoesNotBreakInvariants) {
    QuantileSketch small(1, 8), large(1, 600);
    small.update_many(quantile_test::make_values(Shape::kUniform, 30000, 1));
    large.update_many(quantile_test::make_values(Shape::kUniform, 30000, 2));
    QuantileSketch a = small, b = large;
    a.merge(large);
    b.merge(small);
    EXPECT_EQ(quantile_test::broken_invariant(a), "");
    EXPECT_EQ(quantile_test::broken_invariant(b), "");
    EXPECT_EQ(a.count(), 60000u);
}

// ---- stored form round trip ---------------------------------------------------------

class RoundTrip : public ::testing::TestWithParam<std::size_t> {};

// A read sketch is the same state, and behaves identically ever after.
TEST_P(RoundTrip, ReadStateBehavesLikeTheOriginal) {
    const auto values = quantile_test::make_values(Shape::kLognormal, GetParam(), 4);
    const std::size_t half = values.size() / 2;
    QuantileSketch original(99, 64);
    original.update_many(std::span(values).first(half));
    const auto bytes = quantile_test::bytes_of(original);
    QuantileSketch copy = quantile_test::from_bytes(bytes, 99);
    EXPECT_EQ(copy, original);
    original.update_many(std::span(values).subspan(half));
    copy.update_many(std::span(values).subspan(half));
    EXPECT_EQ(copy, original);
    EXPECT_EQ(quantile_test::bytes_of(copy), quantile_test::bytes_of(original));
    QuantileSketch merged_a = original, merged_b = copy;
    merged_a.merge(copy);
    merged_b.merge(original);
    EXPECT_EQ(merged_a, merged_b);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip, ::testing::Values(0, 1, 2, 64, 65, 129, 5000, 300000));

TEST(Memory, SmallColumnsStaySmallLargeOnesStayBelow16K) {
    QuantileSketch s(1);
    std::size_t peak = 0;
    std::mt19937_64 random(1);
    std::uniform_real_distribution<double> uniform(0, 1);
    for (std::size_t i = 1; i <= 10000000; ++i) {
        s.update(uniform(random));
        if (i == 1) {
            EXPECT_LE(s.memory_bytes(), 256u);
        }
        if (i == 100) {
            EXPECT_LE(s.memory_bytes(), 1200u);
        }
        if ((i & 1023) == 0) {
            peak = std::max(peak, s.memory_bytes());
        }
    }
    EXPECT_LE(peak, 16384u);
    EXPECT_EQ(quantile_test::broken_invariant(s), "");
}

}  // namespace
