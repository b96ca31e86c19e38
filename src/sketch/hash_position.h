// The constants every sketch shares, and where a 64-bit hash lands in each form: the dense
// register and rank it offers, and the 32-bit sparse code that stands for it in the sparse
// list. A code decodes to exactly the register and rank of its hash, which is what lets a
// sparse sketch turn dense without its keys.
//
// Thread safety: constants and pure functions.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace sketch {

inline constexpr std::uint8_t kPrecision = 14;                   // p
inline constexpr std::uint8_t kSparsePrecision = 25;             // p'
inline constexpr std::uint64_t kRegisterCount = 1u << 14;        // m
inline constexpr std::uint64_t kSparseRegisterCount = 1u << 24;  // m' of the sparse estimate
inline constexpr std::uint64_t kDenseSizeLimit = 13107;          // bytes of the sparse list
inline constexpr std::size_t kRegisterWords = 3277;              // ceil(m / 5)
// temp_set is merged as soon as size * 100 > kDenseSizeLimit, that is at this many codes.
inline constexpr std::size_t kTempSetTrigger = kDenseSizeLimit / 100 + 1;

static_assert(kTempSetTrigger == 132, "the first size whose hundredfold passes the limit");
static_assert(kRegisterWords == (kRegisterCount + 4) / 5,
              "five six-bit registers to a 32-bit word, the last word part full");
static_assert(kDenseSizeLimit < 4 * kRegisterWords,
              "the sparse list never takes more room than the packed registers");

// A dense register and the rank a hash offers it.
struct RegisterUpdate {
    std::uint32_t index = 0;  // 0 .. 16383
    std::uint32_t rank = 0;   // 1 .. 51
    friend bool operator==(const RegisterUpdate&, const RegisterUpdate&) = default;
};

// Dense insertion's view of a hash: the top 14 bits pick the register, the leading zeros
// of the rest (stopped by a guard bit) give the rank.
constexpr RegisterUpdate dense_update(std::uint64_t h) {
    const auto index = static_cast<std::uint32_t>(h >> (64 - kPrecision));
    const auto rank = 1u + static_cast<std::uint32_t>(std::countl_zero(
                               (h << kPrecision) | (std::uint64_t{1} << (kPrecision - 1))));
    return {index, rank};
}

// The sparse code of a hash: the 25-bit position P = h >> 39 and, when the 11 bits after
// the top 14 (D) are all zero, the rank beyond them (rho'), with flag bit 1.
constexpr std::uint32_t sparse_code(std::uint64_t h) {
    const auto position = static_cast<std::uint32_t>(h >> (64 - kSparsePrecision));
    const std::uint64_t between = (h << kPrecision) >> (64 - (kSparsePrecision - kPrecision));
    if (between != 0) {
        return position << 1;
    }
    const auto rho = 1u + static_cast<std::uint32_t>(
                              std::countl_zero((h << kSparsePrecision) | (std::uint64_t{1} << 24)));
    return (position << 7) | (rho << 1) | 1u;
}

// The register index and rank a sparse code stands for; equal to dense_update of any
// hash that gives this code.
constexpr RegisterUpdate decode_code(std::uint32_t code) {
    if (code & 1u) {
        return {code >> 18, ((code >> 1) & 63u) + (kSparsePrecision - kPrecision)};
    }
    return {(code << 6) >> 18, 1u + static_cast<std::uint32_t>(std::countl_zero(code << 20))};
}

// The largest code: the top 14 bits set, D zero (so the position ends in 11 zero bits) and
// the longest rank (bits 38..0 zero).
inline constexpr std::uint64_t kLargestCodeHash = 0xFFFC000000000000ULL;
inline constexpr std::uint32_t kLargestCode = sparse_code(kLargestCodeHash);
static_assert(kLargestCode == 0xFFFC0051 && kLargestCode < 0xFFFFFFFF,
              "0xFFFFFFFF is never a code, so tables of codes may use it to mark a free slot");
// Codes without a rank are the position shifted by one bit.
inline constexpr unsigned kUnrankedCodeBits = kSparsePrecision + 1;
static_assert(sparse_code(~std::uint64_t{0}) == (1u << kUnrankedCodeBits) - 2,
              "codes without a rank lie below 2^26, which the run tables' code order uses");
static_assert(decode_code(sparse_code(0)) == dense_update(0) && dense_update(0).rank == 51,
              "the longest rank survives the trip through a sparse code");
static_assert(decode_code(kLargestCode) == dense_update(kLargestCodeHash),
              "the largest code decodes to its hash's register and rank");

}  // namespace sketch
