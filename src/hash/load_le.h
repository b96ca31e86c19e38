// Little-endian loads: bytes in memory read as an unsigned number, least significant byte
// first, whatever the machine's own byte order. The hashes read their input this way, and
// so do the key state's seed, the sparse list's decoder and the stored profile form, so
// that a text hashes and a stored profile reads alike on every machine.
//
// Thread safety: pure functions, no state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hash {

// The n (0..8) bytes at p, zero-extended.
inline std::uint64_t load_le(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    }
    return v;
}

// The sizeof(Word) bytes at p: one unaligned load where the machine is little-endian.
template <class Word>
inline std::uint64_t load_le_word(const unsigned char* p) {
    static_assert(sizeof(Word) <= 8, "the result holds at most eight bytes");
    if constexpr (std::endian::native == std::endian::little) {
        Word v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        return load_le(p, sizeof(Word));
    }
}

inline std::uint64_t load_le64(const unsigned char* p) {
    return load_le_word<std::uint64_t>(p);
}

}  // namespace hash
