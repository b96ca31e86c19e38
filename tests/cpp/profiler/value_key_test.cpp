#include "profiler/value_key.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "profiler/engine.h"
#include "test_support.h"

namespace profiler {
namespace {

using testing::kTestKeys;
using testing::read_report;

constexpr std::int64_t kTwo53 = std::int64_t{1} << 53;

// Whether a double holds i, told by a wider type: long double holds every 64-bit integer
// on the platforms we build for.
bool held_by_double_reference(std::int64_t i) {
    static_assert(std::numeric_limits<long double>::digits >= 64);
    return static_cast<long double>(static_cast<double>(i)) == static_cast<long double>(i);
}

TEST(DoubleHolds, EdgesOfTheSignificand) {
    struct Case {
        std::int64_t value;
        bool held;
    };
    for (const Case& c : {
             Case{0, true},
             Case{1, true},
             Case{-1, true},
             Case{kTwo53, true},
             Case{kTwo53 - 1, true},
             Case{kTwo53 + 1, false},
             Case{-kTwo53, true},
             Case{-(kTwo53 + 1), false},
             Case{2 * kTwo53 + 2, false},  // spacing 4 there
             Case{2 * kTwo53 + 4, true},
             Case{INT64_MIN, true},  // -2^63
             Case{INT64_MIN + 1, false},
             Case{INT64_MAX, false},        // rounds to 2^63, which is no int64
             Case{INT64_MAX - 1023, true},  // 2^63 - 2^10: 53 significant bits
             Case{INT64_MAX - 511, false},  // 2^63 - 2^9: 54
             Case{INT64_MIN + 1024, true},  // -(2^63 - 2^10)
             Case{INT64_MIN + 512, false},
         }) {
        EXPECT_EQ(double_holds(c.value), c.held) << c.value;
        EXPECT_EQ(double_holds(c.value), held_by_double_reference(c.value)) << c.value;
    }
}

// Random integers of every width and number of trailing zeros, of both signs.
TEST(DoubleHolds, AgreesWithAWiderType) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = random() >> (random() % 64);
        const auto value = static_cast<std::int64_t>(bits << (random() % 12));
        const std::int64_t signed_value = (random() & 1) != 0 ? 0 - value : value;
        ASSERT_EQ(double_holds(signed_value), held_by_double_reference(signed_value))
            << signed_value;
    }
}

// Ints a double holds are keyed by its bits, so they meet equal floats; the rest by their
// hash, distinct from their neighbours and from the double they round to.
TEST(IntKey, ExactWhereADoubleHoldsTheIntElseHashed) {
    for (std::int64_t i : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-7}, kTwo53, -kTwo53,
                           INT64_MIN, INT64_MAX - 1023}) {
        EXPECT_EQ(int_key(kTestKeys, i), float_key(static_cast<double>(i))) << i;
    }
    std::set<std::uint64_t> keys;
    for (std::int64_t i : {kTwo53 + 1, kTwo53 + 3, -(kTwo53 + 1), INT64_MAX, INT64_MIN + 1}) {
        const std::uint64_t key = int_key(kTestKeys, i);
        EXPECT_NE(key, float_key(static_cast<double>(i))) << i;
        EXPECT_NE(key, static_cast<std::uint64_t>(i)) << i;
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 5u);
}

// An 8-byte text and the int of the same little-endian bytes are one SipHash input; the two
// are keyed under different keys, so they stay two values.
TEST(TextKey, TextsAndWideIntsUseDifferentKeys) {
    const std::string text = "abcdefgh";
    const std::int64_t same_bytes = 0x6867666564636261;
    ASSERT_FALSE(double_holds(same_bytes));
    EXPECT_NE(text_key(kTestKeys, text), int_key(kTestKeys, same_bytes));
    EXPECT_NE(kTestKeys.text, kTestKeys.integer);
}

// Texts that FxHash maps together, or that differ only by trailing NUL bytes.
TEST(TextKey, EveryByteAndTheLengthCount) {
    const std::vector<std::string> texts = {"",
                                            std::string(1, '\0'),
                                            std::string(2, '\0'),
                                            std::string(4, '\0'),
                                            std::string(8, '\0'),
                                            "a",
                                            std::string("a\0", 2),
                                            "ab",
                                            std::string("ab\0\0", 4)};
    std::set<std::uint64_t> keys;
    for (const std::string& text : texts) {
        keys.insert(text_key(kTestKeys, text));
    }
    EXPECT_EQ(keys.size(), texts.size());
}

TEST(ValueKeys, OneSecretGivesOneKeyingAnywhere) {
    const ValueKeys seeded = ValueKeys::from_secret({11, 12});
    EXPECT_EQ(seeded, ValueKeys::from_secret({11, 12}));
    EXPECT_NE(seeded, ValueKeys::from_secret({11, 13}));
    EXPECT_NE(ValueKeys::from_os(), ValueKeys::from_os());

    const KarvoEngine one(seeded);
    const KarvoEngine other(seeded);
    EXPECT_EQ(one.value_keys(), seeded);
    EXPECT_EQ(other.value_keys(), seeded);
    EXPECT_NE(KarvoEngine().value_keys(), KarvoEngine().value_keys());
}

// Through the engine: wide ids, and texts that FxHash maps together, count as distinct
// values.
TEST(EngineKeys, WideIntsAndTextsCountDistinct) {
    struct Case {
        const char* label;
        std::vector<TypedValue> values;
        std::uint64_t low;
        std::uint64_t high;
    };
    std::vector<Case> cases;
    {
        Case ids{"ids_2_pow_60_plus_i", {}, 9700, 10300};
        for (std::int64_t i = 0; i < 10000; ++i) {
            ids.values.push_back(TypedValue::from_int((std::int64_t{1} << 60) + i));
        }
        cases.push_back(std::move(ids));
    }
    cases.push_back(Case{"2_pow_53_and_next",
                         {TypedValue::from_int(kTwo53), TypedValue::from_int(kTwo53 + 1)},
                         2,
                         2});
    cases.push_back(Case{
        "one_and_one_point_zero", {TypedValue::from_int(1), TypedValue::from_float(1.0)}, 1, 1});
    std::vector<std::string> texts;
    for (int i = 0; i < 1000; ++i) {
        texts.push_back("value " + std::to_string(i));
    }
    {
        Case values{"value_0_to_999", {}, 999, 1000};
        for (const std::string& text : texts) {
            values.values.push_back(TypedValue::from_str(text));
        }
        cases.push_back(std::move(values));
    }
    for (const Case& c : cases) {
        KarvoEngine engine;
        std::vector<TypedRow> rows(c.values.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            rows[i].insert("v", c.values[i]);
        }
        process_batch(engine, rows);
        const auto report = read_report(engine.flush_and_reset());
        ASSERT_EQ(report.size(), 1u) << c.label;
        EXPECT_GE(report[0].second.estimated_cardinality, c.low) << c.label;
        EXPECT_LE(report[0].second.estimated_cardinality, c.high) << c.label;
    }
}

}  // namespace
}  // namespace profiler
