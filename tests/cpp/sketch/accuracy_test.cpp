// Accuracy of count over many distinct keys. With 16384 registers the standard error is
// about 0.8%; 2% leaves room for the spread of any one fixed set of keys.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "sketch/cardinality_sketch.h"
#include "sketch_test_support.h"

namespace {

std::vector<std::uint64_t> distinct_keys(std::size_t n) {
    std::mt19937_64 random(20261210);
    std::vector<std::uint64_t> keys(n);
    for (auto& key : keys) {
        key = random();
    }
    std::vector<std::uint64_t> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    return keys;
}

class Accuracy : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Accuracy, RelativeErrorBelowTwoPercent) {
    const std::size_t n = GetParam();
    const auto keys = distinct_keys(n);
    sketch::CardinalitySketch sketch = sketch_test::fixed_sketch();
    for (std::size_t i = 0; i < n; i += 4096) {
        sketch.insert_many(std::span(keys).subspan(i, std::min<std::size_t>(4096, n - i)));
    }
    const double estimate = sketch.count();
    const double error = (estimate - static_cast<double>(n)) / static_cast<double>(n);
    RecordProperty("relative_error", std::to_string(error));
    std::printf("[ accuracy ] n = %zu: estimate %.3f, relative error %+.4f%%\n", n, estimate,
                100.0 * error);
    EXPECT_LT(std::abs(error), 0.02);
}

// Sparse, dense by linear counting, dense bias-corrected, and dense raw.
INSTANTIATE_TEST_SUITE_P(Sizes, Accuracy,
                         ::testing::Values(1000, 10000, 30000, 60000, 100000, 1000000));

}  // namespace
