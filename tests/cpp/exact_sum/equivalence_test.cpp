// Order, split and merge invariance: every way of feeding the same values gives the same
// count, mean, std and stored bytes; carries at and around the propagation period; the
// count's limit; the extreme states the capacity must hold.
#include <algorithm>
#include <cfloat>
#include <limits>
#include <random>

#include "exact_sum_test_support.h"

namespace exact_sum_test {
namespace {

// Splits values at random points into calls of add_many, add and merges of parts.
ExactMoments fed_in_pieces(const std::vector<double>& values, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    ExactMoments out;
    std::size_t at = 0;
    while (at < values.size()) {
        const std::size_t n = std::min<std::size_t>(values.size() - at, random() % 3000);
        const std::span<const double> part(values.data() + at, n);
        switch (random() % 3) {
            case 0:
                out.add_many(part);
                break;
            case 1:
                for (double v : part) {
                    out.add(v);
                }
                break;
            default: {
                ExactMoments other;
                other.add_many(part);
                out.merge(other);
            }
        }
        at += n;
    }
    return out;
}

// Merges parts pairwise in a random tree.
ExactMoments merged_tree(const std::vector<double>& values, std::size_t parts, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<ExactMoments> pending;
    for (std::size_t i = 0; i < parts; ++i) {
        pending.push_back(of({values.begin() + static_cast<std::ptrdiff_t>(values.size() * i / parts),
                              values.begin() + static_cast<std::ptrdiff_t>(values.size() * (i + 1) / parts)}));
    }
    while (pending.size() > 1) {
        const std::size_t a = random() % pending.size();
        std::size_t b = random() % (pending.size() - 1);
        b += b >= a;
        pending[a].merge(pending[b]);
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(b));
    }
    return pending.front();
}

struct Workload {
    const char* name;
    std::vector<double> (*make)();
};

const Workload kWorkloads[] = {
    {"wild", [] { return wild_values(20000, 1); }},
    {"wild_small", [] { return wild_values(700, 2); }},
    {"cluster_around_1e9",
     [] {
         std::mt19937_64 random(3);
         std::vector<double> v(9000);
         for (double& x : v) {
             x = 1e9 + std::uniform_real_distribution<double>(-1e-3, 1e-3)(random);
         }
         return v;
     }},
    // The largest pieces a chunk takes: 53-bit significands at shift 31.
    {"largest_pieces",
     [] {
         std::vector<double> v;
         for (int k = 0; k < 5000; ++k) {
             v.push_back(std::ldexp(static_cast<double>((1ULL << 53) - 1), 31 + 32 * (k % 3) - 1074) *
                         (k % 7 == 0 ? -1 : 1));
         }
         return v;
     }},
};

class Invariance : public ::testing::TestWithParam<Workload> {};

TEST_P(Invariance, EveryOrderSplitAndMergeTreeGivesTheSameState) {
    const std::vector<double> values = GetParam().make();
    const ExactMoments whole = of(values);
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
        expect_same(fed_in_pieces(values, seed), whole, "pieces " + std::to_string(seed));
        std::vector<double> shuffled = values;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(seed));
        expect_same(of(shuffled), whole, "shuffled " + std::to_string(seed));
        expect_same(merged_tree(shuffled, 2 + seed * 5, seed), whole, "tree " + std::to_string(seed));
    }
    std::vector<double> reversed(values.rbegin(), values.rend());
    expect_same(of(reversed), whole, "reversed");
}

INSTANTIATE_TEST_SUITE_P(Workloads, Invariance, ::testing::ValuesIn(kWorkloads),
                         [](const auto& info) { return std::string(info.param.name); });

// k copies of x have mean x and std 0 exactly, across carry propagations.
TEST(Carries, CopiesOfOneValueGiveItBack) {
    const double values[] = {DBL_MAX, -DBL_MAX, std::ldexp(static_cast<double>((1ULL << 53) - 1), 31 - 1074),
                             -std::ldexp(static_cast<double>((1ULL << 53) - 1), 1023 - 1074), 0x1p-1074,
                             0.1, -3.0e-300, 1.5e154, 7.0};
    for (double x : values) {
        for (std::size_t k : {1023u, 1024u, 1025u, 2049u, 5000u}) {
            const ExactMoments m = of(std::vector<double>(k, x));
            EXPECT_TRUE(same_bits(m.mean(), x)) << x << " x" << k << ": " << show(m.mean());
            EXPECT_TRUE(same_bits(m.std(), 0.0)) << x << " x" << k << ": " << show(m.std());
        }
    }
}

TEST(Carries, OppositeValuesCancelToZero) {
    std::vector<double> values = wild_values(5000, 9);
    const std::size_t n = values.size();
    for (std::size_t i = 0; i < n; ++i) {
        values.push_back(-values[i]);
    }
    const ExactMoments m = of(values);
    EXPECT_TRUE(same_bits(m.mean(), 0.0)) << show(m.mean());
    EXPECT_TRUE(m.sum_parts().limbs.empty());
}

TEST(Merge, WithItselfEqualsEveryValueTwice) {
    const std::vector<double> values = wild_values(3000, 4);
    ExactMoments m = of(values);
    m.merge(m);
    std::vector<double> twice = values;
    twice.insert(twice.end(), values.begin(), values.end());
    expect_same(m, of(twice), "self merge");
}

TEST(Merge, EmptyOnEitherSideChangesNothing) {
    const ExactMoments full = of(wild_values(1500, 5));
    ExactMoments a = full;
    a.merge(ExactMoments());
    expect_same(a, full, "empty merged in");
    ExactMoments b;
    b.merge(full);
    expect_same(b, full, "merged into empty");
    ExactMoments c = full;
    c.add_many({});
    expect_same(c, full, "nothing added");
}

TEST(Values, NonFiniteOnesAreNotCounted) {
    ExactMoments m;
    m.add(std::numeric_limits<double>::quiet_NaN());
    m.add(HUGE_VAL);
    m.add(-HUGE_VAL);
    EXPECT_EQ(m.count(), 0u);
    EXPECT_FALSE(m.mean().has_value());
    expect_same(m, ExactMoments(), "only non-finite");
}

// The capacity holds the largest sums 2^64 - 1 values can make, and the results stay finite.
TEST(Limits, TheLargestStatesGiveFiniteResults) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (bool negative : {false, true}) {
        const ExactMoments m = read_all(forged(kMax, exact_sum::times_u64(largest_units(), kMax), negative,
                                               exact_sum::times_u64(largest_square_units(), kMax)));
        EXPECT_TRUE(same_bits(m.mean(), negative ? -DBL_MAX : DBL_MAX)) << show(m.mean());
        EXPECT_TRUE(same_bits(m.std(), 0.0)) << show(m.std());
    }
    // Half at DBL_MAX, half at -DBL_MAX: a variance near DBL_MAX^2, a std just above DBL_MAX
    // by a factor 1 + 2^-65, which rounds to DBL_MAX.
    const std::uint64_t even = kMax - 1;
    const ExactMoments spread = read_all(forged(even, {}, false, exact_sum::times_u64(largest_square_units(), even)));
    EXPECT_TRUE(same_bits(spread.mean(), 0.0)) << show(spread.mean());
    EXPECT_TRUE(same_bits(spread.std(), DBL_MAX)) << show(spread.std());
    ExactMoments merged = spread;
    EXPECT_THROW(merged.merge(spread), std::overflow_error);  // 2^65 - 4 values
}

// Near the capacity's top the windows grow by carries alone: adds and merges there stay
// exact, and the mean of the largest doubles is the largest double.
TEST(Limits, AddsAndMergesAtTheLargestSumsStayExact) {
    constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
    const std::uint64_t n = kHalf - 6000;
    const ExactMoments start = read_all(forged(n, exact_sum::times_u64(largest_units(), n), false,
                                               exact_sum::times_u64(largest_square_units(), n)));
    ExactMoments a = start;
    a.add_many(std::vector<double>(5000, DBL_MAX));
    a.add(DBL_MAX);
    ExactMoments b = start;
    b.merge(of(std::vector<double>(5001, DBL_MAX)));
    expect_same(a, b, "added and merged");
    EXPECT_TRUE(same_bits(a.mean(), DBL_MAX)) << show(a.mean());
    EXPECT_TRUE(same_bits(a.std(), 0.0)) << show(a.std());
    ExactMoments c = a;
    c.merge(a);  // 2^64 - 2002 values, all DBL_MAX
    EXPECT_TRUE(same_bits(c.mean(), DBL_MAX)) << show(c.mean());
    EXPECT_TRUE(same_bits(c.std(), 0.0)) << show(c.std());
    c.add(-DBL_MAX);
    EXPECT_TRUE(same_bits(c.mean(), DBL_MAX)) << show(c.mean());  // 1 - 2^-63: rounds to 1
    EXPECT_GT(*c.std(), 0.0);
    std::vector<std::uint8_t> bytes = stored(c);
    std::span<const std::uint8_t> input(bytes);
    expect_same(read_from(input), c, "read back");
}

TEST(Limits, CountsBeyondTheLimitAreRefusedAndChangeNothing) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const ExactMoments full = read_all(forged(kMax, {}, false, {}));
    ExactMoments m = full;
    EXPECT_THROW(m.add(1.0), std::overflow_error);
    EXPECT_THROW(m.add_many(std::vector<double>{std::nan(""), 2.0}), std::overflow_error);
    m.add(std::nan(""));  // nothing to add: fine
    m.add_many(std::vector<double>(5, HUGE_VAL));
    EXPECT_THROW(m.merge(of({1.0})), std::overflow_error);
    expect_same(m, full, "after refusals");
    ExactMoments one_short = read_all(forged(kMax - 1, {}, false, {}));
    one_short.add_many(std::vector<double>{std::nan(""), 0.0, HUGE_VAL});
    EXPECT_EQ(one_short.count(), kMax);
}

TEST(Memory, SmallColumnsStaySmall) {
    std::mt19937_64 random(11);
    for (std::size_t n : {1u, 100u, 10000u}) {
        std::vector<double> uniform(n), integers(n);
        for (std::size_t i = 0; i < n; ++i) {
            uniform[i] = std::uniform_real_distribution<double>(0, 1)(random);
            integers[i] = static_cast<double>(random() % 1001);
        }
        const std::size_t u = of(uniform).memory_bytes();
        const std::size_t k = of(integers).memory_bytes();
        RecordProperty("uniform_" + std::to_string(n), static_cast<int>(u));
        RecordProperty("integers_" + std::to_string(n), static_cast<int>(k));
        EXPECT_LE(u, 256u) << n;
        EXPECT_LE(k, 192u) << n;
    }
    EXPECT_LE(ExactMoments().memory_bytes(), 80u);
    EXPECT_LE(of(wild_values(20000, 3)).memory_bytes(), 80u + 8u * (70 + 136) + 64);
}

}  // namespace
}  // namespace exact_sum_test
