// The HyperLogLog++ estimate of each form. Sparse: linear counting of the exact codes over
// 2^24 buckets. Dense: linear counting of the zero registers while that stays at or below
// 11500, else the raw harmonic-mean estimate, less the bias interpolated from the empirical
// tables while it is at most 81920. Every step is evaluated in a fixed order, so the result
// is the same double on every run with the same registers.
//
// Thread safety: pure functions of their arguments.
#pragma once

#include <cstdint>

#include "sketch/hash_position.h"
#include "sketch/registers_plus.h"

namespace sketch {

// alpha for m = 16384: 1.079 / m, plus 1, then 0.7213 divided by the sum.
inline constexpr double kAlpha = 0.7213 / (1.0 + 1.079 / static_cast<double>(kRegisterCount));
inline constexpr double kLinearCountingThreshold = 11500.0;
inline constexpr double kBiasCorrectionLimit = 5.0 * static_cast<double>(kRegisterCount);

// Linear counting over 2^24 buckets of a sparse list with `entry_count` codes.
double sparse_estimate(std::uint64_t entry_count);
// The estimate of dense registers: linear counting while it stays at or below 11500,
// else the raw estimate, bias-corrected up to 81920.
double dense_estimate(const RegistersPlus& registers);
// The raw estimate E = m^2 * alpha / sum of 2^-register, summed in register order.
double raw_estimate(const RegistersPlus& registers);
// E less its bias when E <= 81920, E itself above.
double bias_corrected(double e);

// The bias to subtract from a raw dense estimate E, interpolated in the precision-14
// empirical tables.
double estimate_bias(double e);

}  // namespace sketch
