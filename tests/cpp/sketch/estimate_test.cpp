// count() and estimate_bias(): the four regimes of the estimate and the empirical tables.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <set>

#include "sketch/cardinality_sketch.h"
#include "sketch/hllpp_p14_tables.h"
#include "sketch_test_support.h"

namespace {

using sketch::CardinalitySketch;
using sketch::estimate_bias;
using sketch::kBiasData;
using sketch::kRawEstimateData;
using sketch::RegistersPlus;
using sketch_test::fixed_sketch;

constexpr double kM = 16384.0;

// ---- the tables ----------------------------------------------------------------------

TEST(EmpiricalTables, CheckRowsMatch) {
    struct Row {
        std::size_t row;
        double re;
        double bias;
    };
    const Row rows[] = {
        {0, 11817.475, 11816.475},
        {1, 12015.0046, 11605.0046},
        {2, 12215.3792, 11395.3792},
        {3, 12417.7504, 11188.7504},
        {4, 12623.1814, 10984.1814},
        {25, 17470.666, 7230.666},
        {50, 24535.581, 4055.581},
        {75, 32794.767, 2074.767},
        {100, 41921.1998, 961.199800000002},
        {125, 51583.1882, 383.188199999997},
        {150, 61548.194, 108.194000000003},
        {175, 71677.0306, -2.96940000000177},
        {198, 81035.6436, -64.3564000000042},
        {199, 81460.0448, -49.9551999999967},
        {200, 81876.3884, -42.6116000000038},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(kRawEstimateData[r.row], r.re) << "row " << r.row;
        EXPECT_EQ(kBiasData[r.row], r.bias) << "row " << r.row;
    }
}

// Each row was measured at a whole cardinality RE - B: 1 at row 0, then up by 409 or 410
// to 81919; RE rises strictly.
TEST(EmpiricalTables, RowsAreWholeCardinalitiesInSteps) {
    double previous_cardinality = 0.0;
    for (std::size_t i = 0; i < sketch::kBiasRows; ++i) {
        const double cardinality = kRawEstimateData[i] - kBiasData[i];
        ASSERT_NEAR(cardinality, std::round(cardinality), 1e-6) << "row " << i;
        if (i == 0) {
            EXPECT_EQ(std::round(cardinality), 1.0);
        } else {
            ASSERT_GT(kRawEstimateData[i], kRawEstimateData[i - 1]) << "row " << i;
            const double step = std::round(cardinality) - std::round(previous_cardinality);
            ASSERT_TRUE(step == 409.0 || step == 410.0) << "row " << i << " step " << step;
        }
        previous_cardinality = cardinality;
    }
    EXPECT_EQ(std::round(previous_cardinality), 81919.0);
}

// ---- estimate_bias --------------------------------------------------------------------

TEST(EstimateBias, OutsideTheTableTakesTheEndRows) {
    for (double e : {0.0, 100.0, 11817.0, kRawEstimateData[0]}) {
        EXPECT_EQ(estimate_bias(e), kBiasData[0]) << e;
    }
    for (double e : {kRawEstimateData[200], 81900.0, 81920.0, 1e9}) {
        EXPECT_EQ(estimate_bias(e), kBiasData[200]) << e;
    }
}

TEST(EstimateBias, AtARowGivesThatRowsBias) {
    for (std::size_t i = 0; i < sketch::kBiasRows; ++i) {
        ASSERT_NEAR(estimate_bias(kRawEstimateData[i]), kBiasData[i], 1e-9) << "row " << i;
    }
}

// Between two rows the corrected estimate is a weighted mean of their cardinalities, the
// weight being where E stands between their raw estimates.
TEST(EstimateBias, BetweenRowsInterpolatesLinearly) {
    for (std::size_t i = 1; i < sketch::kBiasRows; ++i) {
        const double lo = kRawEstimateData[i - 1];
        const double hi = kRawEstimateData[i];
        for (double weight : {0.25, 0.5, 0.9}) {
            const double e = lo + (hi - lo) * weight;
            const double lo_n = lo - kBiasData[i - 1];
            const double hi_n = hi - kBiasData[i];
            ASSERT_NEAR(e - estimate_bias(e), lo_n + (hi_n - lo_n) * weight, 1e-6)
                << "row " << i << " weight " << weight;
        }
    }
    // One value by hand: a quarter of the way from row 0 to row 1.
    const double e = 11817.475 + (12015.0046 - 11817.475) / 4;
    EXPECT_NEAR(estimate_bias(e), 11816.475 + (11605.0046 - 11816.475) / 4, 1e-9);
}

// ---- count ---------------------------------------------------------------------------

TEST(Count, Alpha) {
    EXPECT_EQ(sketch::kAlpha, 0.7212525005219688);
}

TEST(Count, EmptySketchIsZero) {
    CardinalitySketch sketch = fixed_sketch();
    EXPECT_EQ(sketch.count(), 0.0);
    EXPECT_FALSE(sketch.is_dense());
    EXPECT_EQ(sketch.sparse().bytes().capacity(), 0u);
}

TEST(Count, OneValue) {
    CardinalitySketch sketch = fixed_sketch();
    sketch.insert(42);
    const double one = sketch.count();
    EXPECT_EQ(one, 16777216.0 * std::log(16777216.0 / 16777215.0));
    EXPECT_NEAR(one, 1.00000002980232, 1e-14);
    EXPECT_EQ(sketch.temp_set_size(), 0u);
}

TEST(Count, FiveThousandSparseCodes) {
    CardinalitySketch sketch = fixed_sketch();
    std::set<std::uint32_t> codes;
    for (std::uint64_t key = 0; codes.size() < 5000; ++key) {
        codes.insert(sketch_test::code_of(key));
        sketch.insert(key);
    }
    const double estimate = sketch.count();
    ASSERT_FALSE(sketch.is_dense());
    EXPECT_EQ(sketch.sparse().entry_count(), 5000u);
    EXPECT_DOUBLE_EQ(estimate, 5000.745206123167);
    EXPECT_EQ(sketch::sparse_estimate(5000), estimate);
}

// count merges temp_set first, so codes not yet merged are counted; a second count
// without an insert between gives the same value.
TEST(Count, IncludesTempSetAndRepeats) {
    CardinalitySketch sketch = fixed_sketch();
    for (std::uint64_t key = 0; key < 200; ++key) {
        sketch.insert(key);
    }
    ASSERT_EQ(sketch.temp_set_size(), 200u - 132u);
    const double first = sketch.count();
    EXPECT_EQ(sketch.temp_set_size(), 0u);
    EXPECT_EQ(first, sketch::sparse_estimate(200));
    EXPECT_EQ(sketch.count(), first);
}

// Registers with `zeros` zero registers first and the rest holding `rank`.
RegistersPlus registers_with(std::size_t zeros, std::uint32_t rank) {
    RegistersPlus registers = RegistersPlus::with_count(sketch::kRegisterCount);
    for (std::size_t i = zeros; i < sketch::kRegisterCount; ++i) {
        registers.raise(i, rank);
    }
    return registers;
}

// 8121 zero registers give LC = 11499.14 (returned); 8120 give 11501.16, past the
// threshold, so the bias-corrected raw estimate with S = 8120 + 8264 / 2 is returned.
TEST(Count, LinearCountingThreshold) {
    const double below = std::log(kM / 8121.0) * kM;
    ASSERT_LE(below, 11500.0);
    EXPECT_EQ(sketch::dense_estimate(registers_with(8121, 1)), below);

    ASSERT_GT(std::log(kM / 8120.0) * kM, 11500.0);
    const RegistersPlus past = registers_with(8120, 1);
    const double e = 268435456.0 * sketch::kAlpha / 12252.0;
    EXPECT_EQ(sketch::raw_estimate(past), e);
    EXPECT_EQ(sketch::dense_estimate(past), e - estimate_bias(e));
}

// With no zero register, the raw estimate straight away: k registers of rank 3 and the
// rest of rank 2 give S = k / 8 + (16384 - k) / 4; k = 13860 puts E between RE[200] and
// 81920 (B[200] subtracted), k = 13861 just above 81920 (E itself).
TEST(Count, BiasCorrectionLimit) {
    RegistersPlus inside = registers_with(0, 2);
    RegistersPlus outside = registers_with(0, 2);
    for (std::size_t i = 0; i < 13861; ++i) {
        outside.raise(i, 3);
        if (i < 13860) {
            inside.raise(i, 3);
        }
    }
    const double e_inside = 268435456.0 * sketch::kAlpha / (13860.0 / 8 + 2524.0 / 4);
    const double e_outside = 268435456.0 * sketch::kAlpha / (13861.0 / 8 + 2523.0 / 4);
    ASSERT_GT(e_inside, kRawEstimateData[200]);
    ASSERT_LT(e_inside, 81920.0);
    ASSERT_GT(e_outside, 81920.0);
    EXPECT_EQ(sketch::raw_estimate(inside), e_inside);
    EXPECT_EQ(sketch::dense_estimate(inside), e_inside + 42.6116000000038);
    EXPECT_EQ(sketch::dense_estimate(outside), e_outside);

    EXPECT_EQ(sketch::bias_corrected(81920.0), 81920.0 + 42.6116000000038);
    EXPECT_EQ(sketch::bias_corrected(std::nextafter(81920.0, 1e9)), std::nextafter(81920.0, 1e9));
}

// A register of rank r adds exactly 2^-r, in every rank a register can hold.
TEST(Count, RawEstimateSumsExactPowers) {
    for (std::uint32_t rank = 1; rank <= 51; ++rank) {
        const double e = 268435456.0 * sketch::kAlpha / (kM * std::ldexp(1.0, -int(rank)));
        EXPECT_EQ(sketch::raw_estimate(registers_with(0, rank)), e) << "rank " << rank;
    }
}

TEST(Count, DenseSketchCountsItsRegisters) {
    CardinalitySketch sketch = fixed_sketch();
    std::mt19937_64 random(9);
    for (int i = 0; i < 40000; ++i) {
        sketch.insert(random());
    }
    ASSERT_TRUE(sketch.is_dense());
    const double first = sketch.count();
    EXPECT_EQ(first, sketch::dense_estimate(*sketch.registers()));
    EXPECT_EQ(sketch.count(), first);
}

}  // namespace
