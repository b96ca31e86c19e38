// FxHash: the seedless multiply-rotate hash that picks a column name's shard in the column
// map (profiler/column_map.h) and keys the names of a typed row (profiler/typed_value.h).
// It places no name inside the tables that rows fill: anyone can compute it, so names
// could be chosen to share one bucket; those tables place names by a keyed SipHash
// (profiler/name_hash.h).
//
// Invariants: the hash has no seed, so a name hashes to the same value in every map,
// process and run; the shard rule of the column map depends on that. All arithmetic is
// on unsigned 64-bit words modulo 2^64.
//
// Thread safety: pure functions, no state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "hash/load_le.h"

namespace hash {

inline constexpr std::uint64_t kFxMultiplier = 0x517cc1b727220a95ULL;

// One step over a zero-extended piece of input.
constexpr std::uint64_t fx_step(std::uint64_t h, std::uint64_t word) {
    return (std::rotl(h, 5) ^ word) * kFxMultiplier;
}

// FxHash of a text's bytes: full 8-byte groups front to back, then a 4-, 2- and 1-byte
// tail as far as the bytes left allow, then the terminating 0xFF step.
inline std::uint64_t fx_hash(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    std::uint64_t h = 0;
    for (; left >= 8; p += 8, left -= 8) {
        h = fx_step(h, load_le64(p));
    }
    if (left >= 4) {
        h = fx_step(h, load_le_word<std::uint32_t>(p));
        p += 4;
        left -= 4;
    }
    if (left >= 2) {
        h = fx_step(h, load_le_word<std::uint16_t>(p));
        p += 2;
        left -= 2;
    }
    if (left >= 1) {
        h = fx_step(h, *p);
    }
    return fx_step(h, 0xFF);
}

// Hasher for unordered containers keyed by names; transparent so that a string_view
// finds a std::string key without a copy.
struct FxStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return fx_hash(s); }
};

}  // namespace hash
