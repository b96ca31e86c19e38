// The summary's guarantees against exact counts: every entry's interval holds the true
// count, every key above N / capacity is held, counts are exact while at most 64 keys were
// seen; and how it is fed does not matter.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>

#include "top_values_test_support.h"

namespace {

using namespace top_values_test;
using top_values::Item;
using top_values::Kind;

struct ZipfCase {
    double exponent;
    std::uint64_t seed;
};

class ZipfBounds : public ::testing::TestWithParam<ZipfCase> {};

TEST_P(ZipfBounds, IntervalsHoldAndHeavyKeysAreHeld) {
    const auto [exponent, seed] = GetParam();
    const auto keys = zipf_keys(200000, exponent, 100000, seed);
    const TopValues s = summary_of(keys);
    expect_bounds(s, exact_counts(keys), keys.size());
}

INSTANTIATE_TEST_SUITE_P(Exponents, ZipfBounds,
                         ::testing::Values(ZipfCase{0.5, 1}, ZipfCase{0.5, 2}, ZipfCase{0.8, 3},
                                           ZipfCase{1.1, 1}, ZipfCase{1.1, 2}, ZipfCase{1.1, 3},
                                           ZipfCase{1.5, 4}, ZipfCase{1.5, 5}, ZipfCase{2.5, 6},
                                           ZipfCase{2.5, 7}));

// Skewed data is where SpaceSaving's per-entry error pays: the heaviest keys come in first
// and stay exact.
TEST(Guarantees, HeaviestKeysStayExactOnSkewedData) {
    const auto keys = zipf_keys(200000, 1.5, 100000, 11);
    const auto exact = exact_counts(keys);
    const TopValues s = summary_of(keys);
    for (const auto& e : s.top(5)) {
        EXPECT_EQ(e.error, 0u);
        EXPECT_EQ(e.count, exact.at(e.key));
    }
}

// Adversarial orders: all distinct, distinct keys between repeats of a heavy one, and a
// heavy key that appears only at the end.
TEST(Guarantees, BoundsHoldOnAdversarialOrders) {
    std::vector<std::vector<std::uint64_t>> streams(3);
    for (std::uint64_t i = 0; i < 20000; ++i) {
        streams[0].push_back(scramble(i));
        streams[1].push_back(i % 3 == 0 ? 7 : scramble(i));
    }
    for (std::uint64_t i = 0; i < 20000; ++i) {
        streams[2].push_back(i < 15000 ? scramble(i) : 99);
    }
    for (const auto& keys : streams) {
        const TopValues s = summary_of(keys);
        expect_bounds(s, exact_counts(keys), keys.size());
    }
    const TopValues last = summary_of(streams[2]);
    EXPECT_EQ(last.top(1).at(0).key, 99u);
}

TEST(Guarantees, ExactWhileAtMostCapacityKeys) {
    std::vector<std::uint64_t> keys;
    for (std::uint64_t k = 0; k < kCapacity; ++k) {
        keys.insert(keys.end(), 1 + (k * 37) % 101, scramble(k));
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(5));
    TopValues s = summary_of(keys);
    const auto exact = exact_counts(keys);
    EXPECT_EQ(s.floor(), 0u);
    for (const auto& e : s.top(kCapacity)) {
        EXPECT_EQ(e.error, 0u);
        EXPECT_EQ(e.count, exact.at(e.key));
    }
    ASSERT_EQ(s.size(), kCapacity);
    // One key more: an entry of the least count, 1 here, makes room and sets the floor.
    s.update(scramble(1000), number_for(scramble(1000)));
    EXPECT_EQ(s.size(), kCapacity);
    EXPECT_EQ(s.floor(), 1u);
}

TEST(Guarantees, TopIsSortedByCountThenKey) {
    TopValues s;
    const std::vector<std::uint64_t> keys = {5, 3, 9, 3, 9, 1, 5, 7};  // 3, 5, 9 twice
    observe(s, keys);
    const auto top = s.top(10);
    ASSERT_EQ(top.size(), 5u);
    const std::vector<std::uint64_t> order = {3, 5, 9, 1, 7};
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(top[i].key, order[i]);
    }
    EXPECT_EQ(s.top(2).size(), 2u);
    EXPECT_TRUE(s.top(0).empty());
    EXPECT_TRUE(TopValues().top(10).empty());
}

// Split-invariance: per value, in batches of any split, and as items, the same bytes.
TEST(Feeding, HowValuesAreSplitDoesNotMatter) {
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        const auto keys = zipf_keys(30000, 1.0, 5000, seed);
        TopValues one_by_one;
        for (const auto k : keys) {
            one_by_one.update(k, number_for(k));
        }
        TopValues batched;
        std::mt19937_64 gen(seed);
        for (std::size_t at = 0; at < keys.size();) {
            const std::size_t n = std::min<std::size_t>(gen() % 700, keys.size() - at);
            observe(batched, std::span(keys).subspan(at, n));
            at += n;
        }
        TopValues as_items;
        std::vector<Item> items;
        for (const auto k : keys) {
            items.push_back({k, number_for(k)});
        }
        as_items.update_many(items);
        const auto expected = bytes_of(one_by_one);
        EXPECT_EQ(bytes_of(batched), expected);
        EXPECT_EQ(bytes_of(as_items), expected);
        EXPECT_EQ(bytes_of(summary_of(keys)), expected);
    }
}

// A representative is built only when its key comes in, never on a hit.
TEST(Representatives, BuiltOnlyForKeysComingIn) {
    std::vector<std::uint64_t> keys;
    for (int round = 0; round < 1000; ++round) {
        for (std::uint64_t k = 0; k < 10; ++k) {
            keys.push_back(k);
        }
    }
    TopValues s;
    std::size_t built = 0;
    s.update_many(keys, [&](std::size_t i) {
        ++built;
        return number_for(keys[i]);
    });
    EXPECT_EQ(built, 10u);
    for (const auto k : keys) {
        s.update_with(k, [&] {
            ++built;
            return number_for(k);
        });
    }
    EXPECT_EQ(built, 10u);
}

TEST(Representatives, NumberOfFirstOccurrenceStays) {
    TopValues s;
    s.update(1, Representative::of_number(1.0));  // say, the integer 1
    s.update(1, Representative::of_number(2.0));  // a later value of the same key
    s.update(2, Representative::of_text("two"));
    const auto top = s.top(2);
    EXPECT_EQ(top[0].key, 1u);
    EXPECT_EQ(top[0].representative.kind, Kind::kNumber);
    EXPECT_EQ(top[0].representative.number, 1.0);
    EXPECT_EQ(top[1].representative.kind, Kind::kText);
    EXPECT_EQ(top[1].representative.text, "two");
}

std::string repeat(std::string_view unit, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += unit;
    }
    return out;
}

struct CutCase {
    std::string text;
    std::string expected;
};

class TextCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(TextCut, KeepsFirst256CodePoints) {
    const auto& [text, expected] = GetParam();
    EXPECT_EQ(top_values::cut_text(text), expected);
    TopValues s;
    s.update(42, Representative::of_text(text));
    EXPECT_EQ(s.top(1).at(0).representative.text, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TextCut,
    ::testing::Values(CutCase{"", ""}, CutCase{"short", "short"},
                      CutCase{repeat("a", 256), repeat("a", 256)},
                      CutCase{repeat("a", 257), repeat("a", 256)},
                      CutCase{repeat("\xC3\xA9", 300), repeat("\xC3\xA9", 256)},        // é
                      CutCase{repeat("\xE2\x82\xAC", 256), repeat("\xE2\x82\xAC", 256)},  // €
                      CutCase{repeat("\xF0\x9F\x98\x80", 260), repeat("\xF0\x9F\x98\x80", 256)},
                      CutCase{repeat("a", 255) + "\xF0\x9F\x98\x80" + "b",
                              repeat("a", 255) + "\xF0\x9F\x98\x80"}));

// All keys distinct and long texts: every miss stores a text, so the arena is compacted
// again and again; every representative held must still be its key's text.
TEST(Representatives, TextsSurviveArenaCompaction) {
    TopValues s;
    const auto text_of = [](std::uint64_t k) {
        return std::to_string(k) + repeat("\xC3\xA9", 200 + k % 100);
    };
    std::vector<std::uint64_t> keys;
    for (std::uint64_t i = 0; i < 20000; ++i) {
        keys.push_back(i % 5 == 0 ? i % 40 : 1000 + i);
    }
    std::vector<std::string> texts;
    for (const auto k : keys) {
        texts.push_back(text_of(k));
    }
    s.update_many(keys, [&](std::size_t i) { return Representative::of_text(texts[i]); });
    for (const auto& e : s.top(kCapacity)) {
        EXPECT_EQ(e.representative.text, top_values::cut_text(text_of(e.key)));
    }
    EXPECT_LE(s.text_bytes(), 4 * (kCapacity * top_values::kMaxTextBytes + 4096));
}

TEST(Memory, SmallColumnsStaySmallAndFullOnesUnder4KB) {
    TopValues s;
    const std::size_t empty = s.memory_bytes();
    s.update(1, number_for(1));
    const std::size_t one = s.memory_bytes();
    for (std::uint64_t k = 0; k < 100; ++k) {
        s.update(k % 50, number_for(k % 50));
    }
    const std::size_t fifty = s.memory_bytes();
    observe(s, zipf_keys(10000, 1.1, 5000, 3));
    const std::size_t full = s.memory_bytes();
    RecordProperty("bytes_empty", static_cast<int>(empty));
    RecordProperty("bytes_one", static_cast<int>(one));
    RecordProperty("bytes_fifty_keys", static_cast<int>(fifty));
    RecordProperty("bytes_full", static_cast<int>(full));
    std::printf("memory: empty %zu, 1 value %zu, 50 keys %zu, full %zu bytes\n", empty, one,
                fifty, full);
    EXPECT_LE(one, 256u);
    EXPECT_LE(full, 3208u);
    EXPECT_EQ(s.text_bytes(), 0u);
}

TEST(Limits, UpdatesPastTwoToTheSixtyFourAreRefused) {
    // A state that holds 2^64 - 1 values: one key, exact.
    top_values::ByteWriter w;
    w.varint(~0ULL);
    w.varint(0);
    w.varint(1);
    w.u64(5);
    w.varint(~0ULL);
    w.varint(0);
    w.u8(1);
    w.u64(0);
    top_values::ByteReader r(w.out());
    TopValues s = TopValues::read(r);
    const auto before = bytes_of(s);
    EXPECT_THROW(s.update(5, number_for(5)), std::overflow_error);
    const std::uint64_t keys[] = {1, 2};
    EXPECT_THROW(observe(s, keys), std::overflow_error);
    EXPECT_THROW(s.merge(summary_of(keys)), std::overflow_error);
    EXPECT_EQ(bytes_of(s), before);
    s.merge(TopValues());  // adds nothing, so it fits
    EXPECT_EQ(bytes_of(s), before);
}

}  // namespace

namespace {

// A failure while making a new key's representative (the caller's callback throwing, or
// the summary running out of memory storing it) counts nothing: the state stays that of
// the values before it, in both forms (with room, and full).
TEST(Failures, AValueThatFailsIsNotCounted) {
    for (const std::size_t prefix : {std::size_t{30}, std::size_t{5000}}) {
        SCOPED_TRACE(prefix);
        auto keys = zipf_keys(prefix, 1.0, 3000, 8);
        keys.push_back(0xDEADBEEF);  // new to the summary
        const std::vector<std::uint64_t> again(keys.begin(), keys.begin() + 10);
        keys.insert(keys.end(), again.begin(), again.end());
        TopValues s;
        EXPECT_THROW(s.update_many(keys,
                                   [&](std::size_t i) {
                                       if (keys[i] == 0xDEADBEEF) {
                                           throw std::runtime_error("no representative");
                                       }
                                       return number_for(keys[i]);
                                   }),
                     std::runtime_error);
        const TopValues before = summary_of(std::span(keys).first(prefix));
        EXPECT_EQ(bytes_of(s), bytes_of(before));
        EXPECT_THROW(s.update_with(0xDEADBEEF,
                                   []() -> Representative { throw std::runtime_error("again"); }),
                     std::runtime_error);
        EXPECT_EQ(bytes_of(s), bytes_of(before));
    }
}

}  // namespace
