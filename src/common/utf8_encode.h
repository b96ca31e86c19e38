// encode_utf8: code points (as from PyUnicode_AsUCS4) written out as UTF-8, into a buffer
// the caller owns and reuses, so that a text the interpreter holds in a fixed-width form
// can be keyed by its UTF-8 without allocating anything per text.
//
// The bytes are those of the shortest (and only valid) UTF-8 form of each code point, the
// same as Python's str.encode('utf-8'): the sketch key of a text is made from them, so a
// text must reach it as the same bytes however it was read. A surrogate code point
// (U+D800..U+DFFF) has no UTF-8, nor has anything beyond U+10FFFF: the whole text is then
// refused, as the interpreter's strict encoder refuses it.
//
// Thread safety: a pure function, no state.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace common {

// The most bytes one code point takes in UTF-8: room for `n` code points is 4 * n bytes.
inline constexpr std::size_t kMaxUtf8Bytes = 4;
// What encode_utf8 returns for a text with no UTF-8.
inline constexpr std::size_t kNoUtf8 = static_cast<std::size_t>(-1);

namespace utf8_detail {

inline void store_le(unsigned char* at, std::uint32_t word) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(at, &word, sizeof word);
    } else {
        for (int i = 0; i < 4; ++i) {
            at[i] = static_cast<unsigned char>(word >> (8 * i));
        }
    }
}

// Writes one code point that is not ASCII and returns the byte after it; null for a
// surrogate or a code point beyond U+10FFFF.
inline unsigned char* put_wide(unsigned char* at, std::uint32_t c) {
    if (c < 0x800) {
        at[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        at[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return at + 2;
    }
    if (c < 0x10000) {
        if (c - 0xD800 < 0x800) {  // U+D800..U+DFFF; the rest wrap past it, unsigned
            return nullptr;
        }
        at[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        at[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        at[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return at + 3;
    }
    if (c < 0x110000) {
        at[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
        at[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        at[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        at[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return at + 4;
    }
    return nullptr;
}

}  // namespace utf8_detail

// Writes the UTF-8 of `code_points` to `out`, which has room for
// kMaxUtf8Bytes * code_points.size() bytes (all of which it may write), and returns how
// many bytes the UTF-8 takes; kNoUtf8 when a code point is a surrogate or beyond U+10FFFF.
inline std::size_t encode_utf8(std::span<const char32_t> code_points, char* out) {
    auto* const begin = reinterpret_cast<unsigned char*>(out);
    unsigned char* at = begin;
    const char32_t* c = code_points.data();
    const char32_t* const end = c + code_points.size();
    while (c != end) {
        // Runs of ASCII (most of many non-ASCII texts: the digits, spaces and punctuation
        // of accented or CJK text) four code points at a time.
        while (end - c >= 4 && (c[0] | c[1] | c[2] | c[3]) < 0x80) {
            utf8_detail::store_le(at, c[0] | c[1] << 8 | c[2] << 16 | c[3] << 24);
            at += 4;
            c += 4;
        }
        const char32_t* const stop = std::min(end, c + 4);
        for (; c != stop; ++c) {
            if (*c < 0x80) {
                *at++ = static_cast<unsigned char>(*c);
            } else if ((at = utf8_detail::put_wide(at, *c)) == nullptr) {
                return kNoUtf8;
            }
        }
    }
    return static_cast<std::size_t>(at - begin);
}

}  // namespace common
