// mix64: the multiplicative mix that turns a 64-bit key into the home slot of a probe
// table (common/probe_table.h), and mix_slot, the slot it gives.
//
// Why this form: the low bits of a product depend only on the low bits of its factors, so
// the slot comes from the top bits; folding the high half in first lets keys that differ
// only there (doubles, whose exponent and leading fraction bits sit on top) reach those
// top bits through more than one partial product. Integers and addresses, which differ in
// their low bits, are carried up by the multiply itself.
//
// Thread safety: pure functions, no state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace common {

// 2^64 divided by the golden ratio, rounded to odd: an odd multiplier loses no key bits,
// and this one spreads consecutive keys evenly over the slots.
inline constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;
static_assert(kGoldenGamma % 2 == 1, "an odd multiplier is a bijection on 64-bit words");

constexpr std::uint64_t mix64(std::uint64_t x) {
    return (x ^ (x >> 32)) * kGoldenGamma;
}

// The home slot of x in a table of 2^bits slots, 1 <= bits <= 64.
constexpr std::size_t mix_slot(std::uint64_t x, unsigned bits) {
    return static_cast<std::size_t>(mix64(x) >> (64 - bits));
}

}  // namespace common
