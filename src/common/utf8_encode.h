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

#include <cstddef>
#include <cstdint>
#include <span>

namespace common {

// The most bytes one code point takes in UTF-8: room for `n` code points is 4 * n bytes.
inline constexpr std::size_t kMaxUtf8Bytes = 4;
// What encode_utf8 returns for a text with no UTF-8.
inline constexpr std::size_t kNoUtf8 = static_cast<std::size_t>(-1);

// Writes the UTF-8 of `code_points` to `out`, which has room for
// kMaxUtf8Bytes * code_points.size() bytes, and returns how many it wrote; kNoUtf8 (with
// `out` partly written) when a code point is a surrogate or beyond U+10FFFF.
inline std::size_t encode_utf8(std::span<const char32_t> code_points, char* out) {
    auto* const begin = reinterpret_cast<unsigned char*>(out);
    unsigned char* at = begin;
    for (const char32_t c : code_points) {
        if (c < 0x80) {
            *at++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            at[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            at[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            at += 2;
        } else if (c < 0x10000) {
            if (c - 0xD800 < 0x800) {  // U+D800..U+DFFF, unsigned wrap for the rest
                return kNoUtf8;
            }
            at[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            at[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            at[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            at += 3;
        } else if (c < 0x110000) {
            at[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            at[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            at[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            at[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            at += 4;
        } else {
            return kNoUtf8;
        }
    }
    return static_cast<std::size_t>(at - begin);
}

}  // namespace common
