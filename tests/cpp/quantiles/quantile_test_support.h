// Helpers for the quantile sketch's tests: data shapes, the exact inverted CDF, the rank
// error of an answer, and the stored form as bytes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "quantiles/quantile_sketch.h"

namespace quantile_test {

enum class Shape { kUniform, kLognormal, kFewDistinct, kSorted, kReversed, kNegativeZeros };

inline const char* shape_name(Shape s) {
    switch (s) {
        case Shape::kUniform: return "uniform";
        case Shape::kLognormal: return "lognormal";
        case Shape::kFewDistinct: return "few_distinct";
        case Shape::kSorted: return "sorted";
        case Shape::kReversed: return "reversed";
        case Shape::kNegativeZeros: return "signed_zeros";
    }
    return "?";
}

inline std::vector<double> make_values(Shape shape, std::size_t n, std::uint64_t seed = 7) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(-1e3, 1e3);
    std::lognormal_distribution<double> lognormal(0.0, 2.0);
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (shape) {
            case Shape::kUniform: v[i] = uniform(random); break;
            case Shape::kLognormal: v[i] = lognormal(random); break;
            case Shape::kFewDistinct: v[i] = static_cast<double>(random() % 10) * 1.5; break;
            case Shape::kSorted: v[i] = static_cast<double>(i) * 0.25; break;
            case Shape::kReversed: v[i] = static_cast<double>(n - i) * 0.25; break;
            case Shape::kNegativeZeros:
                v[i] = (random() % 3 == 0) ? -0.0 : (random() % 2 == 0 ? 0.0 : -1.0);
                break;
        }
    }
    return v;
}

// The exact inverted CDF of the values (as the sketch defines it).
inline double exact_quantile(std::vector<double> sorted, double q) {
    std::sort(sorted.begin(), sorted.end());
    if (q == 0.0) {
        return sorted.front() + 0.0;
    }
    const double n = static_cast<double>(sorted.size());
    const std::size_t target = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(q * n)));
    return sorted[std::min(target, sorted.size()) - 1] + 0.0;
}

// How far the answer x is from rank q, as a fraction of n: zero when the target rank
// ceil(q n) lies among the ranks x occupies in the sorted values.
inline double rank_error(const std::vector<double>& sorted, double q, double x) {
    const double n = static_cast<double>(sorted.size());
    const double below = static_cast<double>(
        std::lower_bound(sorted.begin(), sorted.end(), x) - sorted.begin());
    const double through = static_cast<double>(
        std::upper_bound(sorted.begin(), sorted.end(), x) - sorted.begin());
    const double target = std::max(1.0, std::ceil(q * n));
    if (target <= below) {
        return (below + 1 - target) / n;
    }
    if (target > through) {
        return (target - through) / n;
    }
    return 0.0;
}

inline std::vector<std::uint8_t> bytes_of(const quantiles::QuantileSketch& s) {
    quantiles::ByteWriter w;
    s.write(w);
    return w.take();
}

inline quantiles::QuantileSketch from_bytes(std::span<const std::uint8_t> bytes,
                                            std::uint64_t seed) {
    quantiles::ByteReader r(bytes);
    return quantiles::QuantileSketch::read(r, seed);
}

// Invariants every sketch must keep, checked from outside.
inline std::string broken_invariant(const quantiles::QuantileSketch& s) {
    std::uint64_t weight = 0;
    for (std::size_t h = 0; h < s.level_count(); ++h) {
        const auto level = s.level(h);
        weight += static_cast<std::uint64_t>(level.size()) << h;
        if (h > s.sampled_levels() && !std::is_sorted(level.begin(), level.end())) {
            return "level " + std::to_string(h) + " unsorted";
        }
        for (const double v : level) {
            if (!(v >= s.min() && v <= s.max()) || std::signbit(v) != (v < 0)) {
                return "item outside bounds or -0";
            }
        }
    }
    weight += s.block_weight();
    if (weight != s.count()) {
        return "weights do not add up to count";
    }
    for (std::size_t h = 0; h < s.sampled_levels(); ++h) {
        if (!s.level(h).empty()) {
            return "items below the sampler";
        }
    }
    if (s.sampled_levels() != (s.level_count() > quantiles::kCompactorLevels
                                   ? s.level_count() - quantiles::kCompactorLevels
                                   : 0)) {
        return "sampler not at H - kCompactorLevels";
    }
    if (s.block_weight() >= (std::uint64_t{1} << s.sampled_levels()) && s.sampled_levels() > 0) {
        return "block weight not below the block size";
    }
    if (s.retained() > quantiles::total_capacity(
                           s.k(), std::min(s.level_count(), quantiles::kCompactorLevels))) {
        return "more items than capacity";
    }
    if (s.level_count() > 1 && s.level(s.level_count() - 1).empty()) {
        return "top level empty";
    }
    return "";
}

}  // namespace quantile_test
