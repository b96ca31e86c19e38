// The HyperLogLog++ empirical tables for precision 14: mean raw estimates (RE) and their
// biases (B), 201 rows, row i of both measured at the same cardinality. The bias of a
// raw estimate is interpolated between neighbouring rows (estimate.cpp).
//
// Invariants: RE rises strictly; RE[i] - B[i] is within 1e-6 of the whole cardinality
// at which row i was measured (1 at row 0, 81919 at row 200).
//
// Thread safety: constant data.
#pragma once

#include <array>
#include <cstddef>

namespace sketch {

inline constexpr std::size_t kBiasRows = 201;

extern const std::array<double, kBiasRows> kRawEstimateData;
extern const std::array<double, kBiasRows> kBiasData;

}  // namespace sketch
