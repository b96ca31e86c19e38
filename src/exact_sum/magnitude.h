// Magnitude: an unsigned integer of any size, for the few exact steps that run outside the
// hot path (the mean's division, the variance's products, the sqrt, the stored form's checks).
// Limbs are 32 bits, least significant first, with no zero limb on top; zero has no limbs.
// These run once per report or per stored column, on at most a few hundred limbs, so they
// favour plain schoolbook loops over speed.
//
// Thread safety: pure functions on values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace exact_sum {

using Limbs = std::vector<std::uint32_t>;

// Drops zero limbs from the top, so that equal numbers have equal limbs.
void trim(Limbs& a);

std::size_t bit_length(const Limbs& a);
bool bit_at(const Limbs& a, std::size_t position);
// Whether any bit below position is set.
bool any_bit_below(const Limbs& a, std::size_t position);

Limbs from_u64(std::uint64_t v);
int compare(const Limbs& a, const Limbs& b);
Limbs shifted_left(const Limbs& a, std::size_t bits);
// a >> bits; lost is set when a bit shifted out was 1 (and left alone otherwise).
Limbs shifted_right(const Limbs& a, std::size_t bits, bool& lost);
Limbs times_u64(const Limbs& a, std::uint64_t m);
Limbs times(const Limbs& a, const Limbs& b);
// a - b, for a >= b.
Limbs minus(const Limbs& a, const Limbs& b);
// Divides a by d (not 0) in place and returns the remainder.
std::uint64_t divide_u64(Limbs& a, std::uint64_t d);

// The double nearest to (a + f) * 2^exponent, ties to even, where f is a fraction in (0, 1)
// when inexact is set and 0 otherwise; negated when negative. An inexact value must carry
// its rounding bit in a: a has at least 55 bits, or the rounding position
// (-1074 - exponent) is at least 2. Beyond the largest double it is an infinity.
double round_to_double(const Limbs& a, bool inexact, long exponent, bool negative);

}  // namespace exact_sum
