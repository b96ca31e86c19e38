// The one home of UTF-8 in karvo: every part that writes, checks, counts or cuts UTF-8
// does it here, so that a text is the same bytes (and the same key) however it was read.
//
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
// Code points are taken four at a time: four ASCII ones are one 4-byte store, and four
// below U+10000 (or U+800) are written without a branch, since in mixed text (accented
// Latin, CJK among ASCII digits and spaces) the length changes at random and a branch per
// code point would keep mispredicting. Each code point is stored as a whole 4-byte word
// and the output advanced by its length, so the buffer must have room for 4 bytes per
// code point even when the UTF-8 is shorter.
//
// append_utf8 writes one code point onto a string (the JSON reader's escapes); valid_utf8
// checks a text read from outside (a stored profile); code_point_count and
// code_point_prefix measure and cut text that is already valid UTF-8, as Python's len()
// and slicing count.
//
// Thread safety: pure functions, no state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

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

inline std::uint32_t is_surrogate(std::uint32_t c) {
    return c - 0xD800 < 0x800 ? 1 : 0;  // U+D800..U+DFFF; the rest wrap past it, unsigned
}

// Writes one code point below U+800 (ASCII, accented Latin, Greek, Cyrillic, Hebrew,
// Arabic) and returns the byte after it.
inline unsigned char* put_two_at_most(unsigned char* at, std::uint32_t c) {
    const std::uint32_t two = (0xC0 | (c >> 6)) | (0x80 | (c & 0x3F)) << 8;
    const std::uint32_t wide = 0u - static_cast<std::uint32_t>(c >= 0x80);
    store_le(at, c ^ ((c ^ two) & wide));
    return at + 1 + (wide & 1);
}

// Writes one code point below U+10000 and returns the byte after it. A surrogate is
// written as if it were a character; the caller refuses the text.
inline unsigned char* put_bmp(unsigned char* at, std::uint32_t c) {
    const std::uint32_t last = 0x80 | (c & 0x3F);
    const std::uint32_t two = (0xC0 | (c >> 6)) | last << 8;
    const std::uint32_t three = (0xE0 | (c >> 12)) | (0x80 | ((c >> 6) & 0x3F)) << 8 | last << 16;
    // Masks (all ones when the code point takes two bytes or more, three bytes), as
    // compilers turn plain conditionals here into branches.
    const std::uint32_t wide = 0u - static_cast<std::uint32_t>(c >= 0x80);
    const std::uint32_t wider = 0u - static_cast<std::uint32_t>(c >= 0x800);
    std::uint32_t word = c ^ ((c ^ two) & wide);
    word ^= (word ^ three) & wider;
    store_le(at, word);
    return at + 1 + (wide & 1) + (wider & 1);
}

// Writes any code point and returns the byte after it; null for a surrogate or a code
// point beyond U+10FFFF.
inline unsigned char* put_any(unsigned char* at, std::uint32_t c) {
    if (c < 0x10000) {
        return is_surrogate(c) != 0 ? nullptr : put_bmp(at, c);
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
    std::uint32_t surrogates = 0;
    while (end - c >= 4) {
        const std::uint32_t any = c[0] | c[1] | c[2] | c[3];
        if (any < 0x80) {
            utf8_detail::store_le(at, c[0] | c[1] << 8 | c[2] << 16 | c[3] << 24);
            at += 4;
        } else if (any < 0x800) {
            for (int i = 0; i < 4; ++i) {
                at = utf8_detail::put_two_at_most(at, c[i]);
            }
        } else if (any < 0x10000) {
            for (int i = 0; i < 4; ++i) {
                surrogates |= utf8_detail::is_surrogate(c[i]);
                at = utf8_detail::put_bmp(at, c[i]);
            }
        } else {
            for (int i = 0; i < 4; ++i) {
                if ((at = utf8_detail::put_any(at, c[i])) == nullptr) {
                    return kNoUtf8;
                }
            }
        }
        c += 4;
    }
    for (; c != end; ++c) {
        if ((at = utf8_detail::put_any(at, *c)) == nullptr) {
            return kNoUtf8;
        }
    }
    if (surrogates != 0) {
        return kNoUtf8;
    }
    return static_cast<std::size_t>(at - begin);
}


// Appends the UTF-8 of one scalar value (not a surrogate, at most U+10FFFF) to out.
inline void append_utf8(std::string& out, std::uint32_t c) {
    unsigned char bytes[kMaxUtf8Bytes];
    const unsigned char* end = utf8_detail::put_any(bytes, c);
    if (end != nullptr) {
        out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
    }
}

// Whether text is well-formed UTF-8: shortest forms only, no surrogates, at most U+10FFFF.
inline bool valid_utf8(std::span<const unsigned char> text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = text[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t n;
        std::uint32_t cp;
        std::uint32_t least;
        if ((b & 0xE0) == 0xC0) {
            n = 2, cp = b & 0x1F, least = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3, cp = b & 0x0F, least = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4, cp = b & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (n > text.size() - i) {
            return false;
        }
        for (std::size_t k = 1; k < n; ++k) {
            if ((text[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (text[i + k] & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || utf8_detail::is_surrogate(cp) != 0) {
            return false;
        }
        i += n;
    }
    return true;
}

inline bool valid_utf8(std::string_view text) {
    return valid_utf8(std::span<const unsigned char>(
        reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

// The number of code points in valid UTF-8: every byte but a continuation byte starts one.
inline std::size_t code_point_count(std::string_view text) {
    std::size_t starts = 0;
    for (const char c : text) {
        starts += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return starts;
}

// The first `count` code points of valid UTF-8 (all of it when it has fewer), cut at a
// code point's start, never inside one.
inline std::string_view code_point_prefix(std::string_view text, std::size_t count) {
    if (text.size() <= count) {
        return text;  // no more code points than bytes
    }
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == count) {
            return text.substr(0, i);
        }
    }
    return text;
}

}  // namespace common
