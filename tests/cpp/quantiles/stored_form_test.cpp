// The stored form: forged and damaged states are refused with FormatError, before any
// allocation they would ask for; the reader's own field checks.
#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <limits>
#include <string>

#include "quantile_test_support.h"

namespace {

using quantile_test::Shape;
using quantiles::ByteReader;
using quantiles::ByteWriter;
using quantiles::FormatError;
using quantiles::QuantileSketch;

// The stored fields, parsed without checks so that a test can change one and write the
// rest back as the sketch would.
struct Fields {
    std::uint64_t k = 0, n = 0, min = 0, max = 0, levels = 0;
    std::uint64_t counter = 0, pending = 0, offsets = 0;
    std::uint64_t block_weight = 0, next_pick = 1, pick = 0;  // with the sampler on
    std::vector<std::uint64_t> sizes;  // level 0 first
    std::vector<std::uint64_t> items;  // top level first
};

Fields parse(const std::vector<std::uint8_t>& bytes) {
    ByteReader r(bytes);
    Fields f;
    f.k = r.varint("k");
    f.n = r.varint("n");
    if (f.n == 0) {
        return f;
    }
    f.min = r.u64("min");
    f.max = r.u64("max");
    f.levels = r.varint("levels");
    if (f.levels > 1) {
        f.counter = r.u64("counter");
        f.pending = r.varint("pending");
        f.offsets = r.varint("offsets");
    }
    if (f.levels > quantiles::kCompactorLevels) {
        f.block_weight = r.varint("block weight");
        f.next_pick = r.varint("next pick");
        if (f.block_weight > 0) {
            f.pick = r.u64("pick");
        }
    }
    std::uint64_t total = 0;
    for (std::uint64_t h = 0; h < f.levels; ++h) {
        f.sizes.push_back(r.varint("size"));
        total += f.sizes.back();
    }
    for (std::uint64_t i = 0; i < total; ++i) {
        f.items.push_back(r.u64("item"));
    }
    EXPECT_EQ(r.left(), 0u);
    return f;
}

std::vector<std::uint8_t> encode(const Fields& f) {
    ByteWriter w;
    w.varint(f.k);
    w.varint(f.n);
    if (f.n == 0) {
        return w.take();
    }
    w.u64(f.min);
    w.u64(f.max);
    w.varint(f.levels);
    if (f.levels > 1) {
        w.u64(f.counter);
        w.varint(f.pending);
        w.varint(f.offsets);
    }
    if (f.levels > quantiles::kCompactorLevels) {
        w.varint(f.block_weight);
        w.varint(f.next_pick);
        if (f.block_weight > 0) {
            w.u64(f.pick);
        }
    }
    for (const auto size : f.sizes) {
        w.varint(size);
    }
    for (const auto item : f.items) {
        w.u64(item);
    }
    return w.take();
}

std::uint64_t bits(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

// A compacted sketch with a small k: many levels, level 1 and above with several items.
QuantileSketch compacted() {
    QuantileSketch s(5, 16);
    s.update_many(quantile_test::make_values(Shape::kLognormal, 5000));
    return s;
}

// A sketch whose sampler is on, with an unfinished block.
QuantileSketch sampled() {
    QuantileSketch s(5, 8);
    s.update_many(quantile_test::make_values(Shape::kUniform, 300001));
    EXPECT_GT(s.sampled_levels(), 0u);
    EXPECT_GT(s.block_weight(), 0u);
    return s;
}

QuantileSketch exact() {
    QuantileSketch s(5, 16);
    s.update_many(quantile_test::make_values(Shape::kUniform, 12));
    return s;
}

TEST(StoredForm, ParseAndEncodeAreTheLayout) {
    for (const QuantileSketch& s : {compacted(), sampled(), exact(), QuantileSketch(5, 16)}) {
        const auto bytes = quantile_test::bytes_of(s);
        EXPECT_EQ(encode(parse(bytes)), bytes);
        EXPECT_EQ(quantile_test::from_bytes(bytes, 5), s);
    }
}

TEST(StoredForm, EveryTruncationIsRefused) {
    for (const QuantileSketch& s : {compacted(), sampled(), exact()}) {
        const auto bytes = quantile_test::bytes_of(s);
        for (std::size_t len = 0; len < bytes.size(); ++len) {
            EXPECT_THROW(quantile_test::from_bytes(std::span(bytes).first(len), 5), FormatError)
                << "prefix of " << len << " bytes";
        }
    }
}

enum class Base { kCompacted, kExact, kSampled };

struct Forgery {
    const char* name;
    Base base;
    std::function<void(Fields&)> change;
};

// Finds the first pair of distinct neighbours in level 1 (storage order: level 1 sits just
// before level 0) and swaps them.
void unsort_level_one(Fields& f) {
    const std::size_t end = f.items.size() - f.sizes[0];
    const std::size_t begin = end - f.sizes[1];
    for (std::size_t i = begin; i + 1 < end; ++i) {
        if (f.items[i] != f.items[i + 1]) {
            std::swap(f.items[i], f.items[i + 1]);
            return;
        }
    }
    FAIL() << "level 1 has no distinct neighbours";
}

const Forgery kForgeries[] = {
    {"k below 8", Base::kCompacted, [](Fields& f) { f.k = 7; }},
    {"k above 2^15", Base::kCompacted, [](Fields& f) { f.k = 32769; }},
    {"count one more than the weights", Base::kCompacted, [](Fields& f) { ++f.n; }},
    {"count one less than the weights", Base::kCompacted, [](Fields& f) { --f.n; }},
    {"count above 2^60", Base::kCompacted, [](Fields& f) { f.n = (std::uint64_t{1} << 60) + 1; }},
    {"count of an exact sketch off by one", Base::kExact, [](Fields& f) { ++f.n; }},
    {"NaN minimum", Base::kCompacted, [](Fields& f) { f.min = bits(std::nan("")); }},
    {"infinite maximum", Base::kCompacted,
     [](Fields& f) { f.max = bits(std::numeric_limits<double>::infinity()); }},
    {"minimum above maximum", Base::kCompacted, [](Fields& f) { std::swap(f.min, f.max); }},
    {"negative zero bound", Base::kCompacted, [](Fields& f) { f.min = bits(-0.0); }},
    {"no levels", Base::kCompacted, [](Fields& f) { f.levels = 0; }},
    {"too many levels", Base::kCompacted, [](Fields& f) { f.levels = quantiles::kMaxLevels + 1; }},
    {"one level more than sizes", Base::kCompacted, [](Fields& f) { ++f.levels; }},
    {"pending coin on the top level", Base::kCompacted,
     [](Fields& f) { f.pending |= std::uint64_t{1} << (f.levels - 1); }},
    {"offset without pending coin", Base::kCompacted,
     [](Fields& f) { f.offsets |= ~f.pending & ((std::uint64_t{1} << (f.levels - 1)) - 1); }},
    {"huge level size", Base::kCompacted, [](Fields& f) { f.sizes[0] = std::uint64_t{1} << 40; }},
    {"more items than capacity", Base::kExact,
     [](Fields& f) {
         f.sizes[0] = 17;
         f.n = 17;
         f.items.resize(17, f.items[0]);
     }},
    {"empty top level", Base::kCompacted,
     [](Fields& f) {
         const std::uint64_t top = f.sizes.back();
         f.n -= top << (f.levels - 1);
         f.sizes.back() = 0;
         f.items.erase(f.items.begin(), f.items.begin() + static_cast<long>(top));
     }},
    {"unsorted level", Base::kCompacted, unsort_level_one},
    {"NaN item", Base::kCompacted, [](Fields& f) { f.items[3] = bits(std::nan("")); }},
    {"negative zero item", Base::kExact,
     [](Fields& f) {
         f.items[0] = bits(-0.0);
         f.min = bits(-1.0);
     }},
    {"item above the maximum", Base::kCompacted,
     [](Fields& f) { f.items.back() = bits(std::bit_cast<double>(f.max) * 2 + 1); }},
    {"block weight at the block size", Base::kSampled,
     [](Fields& f) {
         const std::uint64_t block = std::uint64_t{1} << (f.levels - quantiles::kCompactorLevels);
         f.n += block - f.block_weight;
         f.block_weight = block;
     }},
    {"next pick not beyond the block weight", Base::kSampled,
     [](Fields& f) { f.next_pick = f.block_weight; }},
    {"next pick past the block's end", Base::kSampled,
     [](Fields& f) {
         f.next_pick = (std::uint64_t{1} << (f.levels - quantiles::kCompactorLevels)) + 2;
     }},
    {"empty block with a next pick", Base::kSampled,
     [](Fields& f) {
         f.n -= f.block_weight;
         f.block_weight = 0;
         f.next_pick = 2;
     }},
    {"block pick NaN", Base::kSampled, [](Fields& f) { f.pick = bits(std::nan("")); }},
    {"block pick above the maximum", Base::kSampled,
     [](Fields& f) { f.pick = bits(std::bit_cast<double>(f.max) + 1.0); }},
    {"block weight not in the count", Base::kSampled, [](Fields& f) { f.block_weight -= 1; }},
    {"item below the sampler", Base::kSampled,
     [](Fields& f) {
         f.sizes[0] = 1;
         f.n += 1;
         f.items.push_back(f.items.back());
     }},
    {"pending coin below the sampler", Base::kSampled, [](Fields& f) { f.pending |= 1; }},
    {"exact minimum not among the items", Base::kExact,
     [](Fields& f) { f.min = bits(std::bit_cast<double>(f.min) - 1.0); }},
    {"exact maximum not among the items", Base::kExact,
     [](Fields& f) { f.max = bits(std::bit_cast<double>(f.max) + 1.0); }},
};

class Forged : public ::testing::TestWithParam<Forgery> {};

TEST_P(Forged, IsRefused) {
    const Base base = GetParam().base;
    const auto bytes = quantile_test::bytes_of(
        base == Base::kExact ? exact() : (base == Base::kSampled ? sampled() : compacted()));
    Fields f = parse(bytes);
    GetParam().change(f);
    const auto forged = encode(f);
    ASSERT_NE(forged, bytes);
    try {
        quantile_test::from_bytes(forged, 5);
        FAIL() << "accepted: " << GetParam().name;
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Fields, Forged, ::testing::ValuesIn(kForgeries),
                         [](const ::testing::TestParamInfo<Forgery>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

TEST(StoredForm, VarintsMustBeShortestAndFit64Bits) {
    const std::vector<std::uint8_t> padded = {0x90, 0x00, 0x00};  // k = 16, padded
    EXPECT_THROW(quantile_test::from_bytes(padded, 1), FormatError);
    std::vector<std::uint8_t> wide(10, 0xff);
    wide.push_back(0x01);
    EXPECT_THROW(quantile_test::from_bytes(wide, 1), FormatError);
}

// A state that claims a full count at the largest weights reads (it is consistent) and
// its merge past 2^60 throws without changing anything.
TEST(StoredForm, MergePastTheLargestCountThrowsAndChangesNothing) {
    Fields f;
    f.k = 8;
    f.n = std::uint64_t{1} << 60;
    f.min = bits(1.0);
    f.max = bits(2.0);
    f.levels = quantiles::kMaxLevels;
    f.sizes.assign(f.levels, 0);
    f.sizes.back() = std::uint64_t{1} << (61 - quantiles::kMaxLevels);
    f.items.assign(f.sizes.back(), bits(1.5));
    QuantileSketch big = quantile_test::from_bytes(encode(f), 3);
    EXPECT_EQ(big.count(), std::uint64_t{1} << 60);
    const QuantileSketch before = big;
    QuantileSketch one(3, 8);
    one.update(1.0);
    EXPECT_THROW(big.merge(one), std::length_error);
    EXPECT_EQ(big, before);
    EXPECT_THROW(big.merge(big), std::length_error);
    EXPECT_EQ(big, before);
}

}  // namespace
