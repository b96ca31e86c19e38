#include "profiler/column_stats.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "profiler/snapshot.h"
#include "test_support.h"

namespace profiler {
namespace {

using testing::kTestKeys;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

struct RecordCase {
    const char* label;
    std::vector<TypedValue> values;
    std::uint64_t total;
    std::uint64_t nulls;
    std::uint64_t min_bits;  // compared bit for bit: -0.0 and 0.0 differ here
    std::uint64_t max_bits;
    std::uint64_t distinct;
};

class RecordTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordTest, CountersBoundsAndKeys) {
    const RecordCase& c = GetParam();
    ColumnStats stats;
    for (const TypedValue& value : c.values) {
        testing::apply_value(stats, value);
    }
    EXPECT_EQ(stats.total_count.load(), c.total);
    EXPECT_EQ(stats.null_count.load(), c.nulls);
    EXPECT_EQ(stats.min_bits.load(), c.min_bits) << stats.min_value();
    EXPECT_EQ(stats.max_bits.load(), c.max_bits) << stats.max_value();
    std::lock_guard<std::mutex> hold(stats.sketch_mutex);
    EXPECT_EQ(round_estimate(stats.sketch.count()), c.distinct);
}

const std::string kText = "x";
const std::string kOther = "y";

INSTANTIATE_TEST_SUITE_P(
    Values, RecordTest,
    ::testing::Values(
        RecordCase{"int_null_text",
                   {TypedValue::from_int(1), TypedValue::null(), TypedValue::from_str(kText)},
                   3,
                   1,
                   bits(1.0),
                   bits(1.0),
                   2},
        RecordCase{"negative_zero_first",
                   {TypedValue::from_float(-0.0), TypedValue::from_float(0.0)},
                   2,
                   0,
                   bits(-0.0),
                   bits(-0.0),
                   2},
        RecordCase{"positive_zero_first",
                   {TypedValue::from_float(0.0), TypedValue::from_float(-0.0)},
                   2,
                   0,
                   bits(0.0),
                   bits(0.0),
                   2},
        RecordCase{"positive_infinity_only",
                   {TypedValue::from_float(kInf)},
                   1,
                   0,
                   kPositiveInfinityBits,
                   bits(kInf),
                   1},
        RecordCase{"negative_infinity_only",
                   {TypedValue::from_float(-kInf)},
                   1,
                   0,
                   bits(-kInf),
                   kNegativeInfinityBits,
                   1},
        RecordCase{"int_beyond_2_pow_53",
                   {TypedValue::from_int(9007199254740993), TypedValue::from_int(9007199254740992)},
                   2,
                   0,
                   bits(9007199254740992.0),
                   bits(9007199254740992.0),
                   2},
        RecordCase{"int_extremes",
                   {TypedValue::from_int(INT64_MIN), TypedValue::from_int(INT64_MAX)},
                   2,
                   0,
                   bits(-9223372036854775808.0),
                   bits(9223372036854775808.0),
                   2},
        RecordCase{"int_and_float_one_key",
                   {TypedValue::from_int(1), TypedValue::from_float(1.0)},
                   2,
                   0,
                   bits(1.0),
                   bits(1.0),
                   1},
        RecordCase{"nan_counts_in_total_only",
                   {TypedValue::from_float(kNaN)},
                   1,
                   0,
                   kPositiveInfinityBits,
                   kNegativeInfinityBits,
                   0},
        RecordCase{"all_null",
                   {TypedValue::null(), TypedValue::null(), TypedValue::null()},
                   3,
                   3,
                   kPositiveInfinityBits,
                   kNegativeInfinityBits,
                   0},
        RecordCase{"text_only",
                   {TypedValue::from_str(kText), TypedValue::from_str(kOther),
                    TypedValue::from_str(kText)},
                   3,
                   0,
                   kPositiveInfinityBits,
                   kNegativeInfinityBits,
                   2},
        RecordCase{
            "bounds_move_both_ways",
            {TypedValue::from_float(2.5), TypedValue::from_int(-3), TypedValue::from_float(7.0),
             TypedValue::from_float(kNaN), TypedValue::from_str(kText)},
            5,
            0,
            bits(-3.0),
            bits(7.0),
            4}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SketchKey, FollowsTheValueRules) {
    const auto key = [](const TypedValue& value) { return sketch_key(value, kTestKeys); };
    EXPECT_EQ(key(TypedValue::from_int(1)), bits(1.0));
    EXPECT_EQ(key(TypedValue::from_int(0)), bits(0.0));
    EXPECT_EQ(key(TypedValue::from_float(-0.0)), bits(-0.0));
    EXPECT_EQ(key(TypedValue::from_int(9007199254740992)), bits(9007199254740992.0));
    EXPECT_EQ(key(TypedValue::null()), std::nullopt);
    EXPECT_EQ(key(TypedValue::from_float(kNaN)), std::nullopt);
    // An int that no double holds keeps its identity.
    EXPECT_NE(key(TypedValue::from_int(9007199254740993)), bits(9007199254740992.0));
    EXPECT_NE(key(TypedValue::from_int(9007199254740993)), bits(9007199254740994.0));
    // A text's key is its hash, not its bytes: NUL bytes count.
    EXPECT_NE(key(TypedValue::from_str(std::string_view("a\0b", 3))),
              key(TypedValue::from_str("a")));
}

TEST(RoundEstimate, HalvesAwayFromZeroWithSaturation) {
    struct Case {
        double estimate;
        std::uint64_t expected;
    };
    for (const Case& c : {Case{2.5, 3}, Case{2.4999, 2}, Case{0.5, 1}, Case{0.49, 0}, Case{-0.4, 0},
                          Case{-7.0, 0}, Case{kNaN, 0}, Case{-kInf, 0}, Case{1e30, UINT64_MAX},
                          Case{kInf, UINT64_MAX}, Case{18446744073709551616.0, UINT64_MAX},
                          Case{9007199254740992.0, 9007199254740992ULL}}) {
        EXPECT_EQ(round_estimate(c.estimate), c.expected) << c.estimate;
    }
}

TEST(ColumnStatsSnapshot, AbsentOnlyAtTheInitialInfinities) {
    ColumnStats stats;
    EXPECT_EQ(snapshot_of(stats), ColumnStatsSnapshot{});
    testing::apply_value(stats, TypedValue::from_float(0.0));
    const ColumnStatsSnapshot zero = snapshot_of(stats);
    ASSERT_TRUE(zero.min_val.has_value());
    EXPECT_EQ(bits(*zero.min_val), bits(0.0));
    EXPECT_EQ(zero.estimated_cardinality, 1u);

    ColumnStats infinite;
    testing::apply_value(infinite, TypedValue::from_float(kInf));
    const ColumnStatsSnapshot snap = snapshot_of(infinite);
    EXPECT_EQ(snap.min_val, std::nullopt);
    EXPECT_EQ(snap.max_val, kInf);
}

}  // namespace
}  // namespace profiler
