// Helpers shared by the top values tests: reproducible Zipf streams, exact counts, the
// bounds every summary must meet against them, and stored bytes for comparisons.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <unordered_map>
#include <vector>

#include "top_values/top_values.h"

namespace top_values_test {

using top_values::kCapacity;
using top_values::Representative;
using top_values::TopValues;

// A bijective scramble, so that keys carry no order of frequency.
inline std::uint64_t scramble(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// n keys drawn from Zipf(exponent) over `universe` ranks (rank r with weight r^-exponent),
// by inverse transform over the cumulative weights; the same on every platform.
inline std::vector<std::uint64_t> zipf_keys(std::size_t n, double exponent, std::size_t universe,
                                            std::uint64_t seed) {
    std::vector<double> cumulative(universe);
    double sum = 0.0;
    for (std::size_t r = 0; r < universe; ++r) {
        sum += std::pow(static_cast<double>(r + 1), -exponent);
        cumulative[r] = sum;
    }
    std::mt19937_64 gen(seed);
    std::vector<std::uint64_t> keys(n);
    for (auto& k : keys) {
        const double u = static_cast<double>(gen() >> 11) * 0x1.0p-53 * sum;
        const auto at = std::upper_bound(cumulative.begin(), cumulative.end(), u);
        const auto rank = static_cast<std::uint64_t>(std::min<std::ptrdiff_t>(
            at - cumulative.begin(), static_cast<std::ptrdiff_t>(universe) - 1));
        k = scramble(rank);
    }
    return keys;
}

using Counts = std::unordered_map<std::uint64_t, std::uint64_t>;

inline Counts exact_counts(std::span<const std::uint64_t> keys) {
    Counts c;
    for (const auto k : keys) {
        ++c[k];
    }
    return c;
}

// The representative a test gives every key: a number derived from it, so that the
// summary's choice can be checked.
inline Representative number_for(std::uint64_t key) {
    return Representative::of_number(static_cast<double>(key % 1000003));
}

inline void observe(TopValues& s, std::span<const std::uint64_t> keys) {
    s.update_many(keys, [&](std::size_t i) { return number_for(keys[i]); });
}

inline TopValues summary_of(std::span<const std::uint64_t> keys) {
    TopValues s;
    observe(s, keys);
    return s;
}

inline std::vector<std::uint8_t> bytes_of(const TopValues& s) {
    top_values::ByteWriter w;
    s.write(w);
    return w.take();
}

// Every guarantee a summary of values with these exact counts must meet.
inline void expect_bounds(const TopValues& s, const Counts& exact, std::uint64_t n) {
    ASSERT_EQ(s.total(), n);
    ASSERT_LE(s.size(), kCapacity);
    EXPECT_LE(s.floor() * kCapacity, n) << "floor above N / capacity";
    const auto top = s.top(kCapacity);
    ASSERT_EQ(top.size(), s.size());
    std::uint64_t sum = 0;
    for (const auto& e : top) {
        const auto it = exact.find(e.key);
        const std::uint64_t truth = it == exact.end() ? 0 : it->second;
        EXPECT_LE(truth, e.count) << "count below the true count of " << e.key;
        EXPECT_GE(truth, e.count - e.error) << "lower bound above the true count of " << e.key;
        EXPECT_LT(e.error, e.count);
        EXPECT_LE(e.error, s.floor());
        sum += e.count;
    }
    EXPECT_LE(sum, n);
    std::unordered_map<std::uint64_t, bool> held;
    for (const auto& e : top) {
        held[e.key] = true;
    }
    for (const auto& [key, truth] : exact) {
        if (!held.count(key)) {
            EXPECT_LE(truth, s.floor()) << "absent key " << key << " above the floor";
            EXPECT_LE(truth * kCapacity, n) << "heavy key " << key << " missing";
        }
    }
}

}  // namespace top_values_test
