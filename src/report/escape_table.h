// The per-byte escape table of the JSON string writer.
//
// One entry per byte value: 0 means the byte is copied as it is; any other entry says how
// the byte is written. A letter from "btnfr" and the characters '"' and '\\' are written
// after a backslash ("\n", "\"", "\\"); 'u' means "\u00" and the byte's two lowercase
// hexadecimal digits. The table is written out in full rather than computed so that each
// rule can be read off its row.
#pragma once

#include <array>
#include <cstdint>

namespace report::detail {

inline constexpr char kCopy = 0;
inline constexpr char kHex = 'u';

// clang-format off
inline constexpr std::array<char, 256> kEscape = {
    // 0x00-0x0F: control bytes. Backspace, tab, line feed, form feed and carriage return
    // have their short forms; every other control byte becomes \u00XX.
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'b', 't', 'n', 'u', 'f', 'r', 'u', 'u',
    // 0x10-0x1F: control bytes without a short form, all \u00XX.
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u',
    // 0x20-0x2F: the double quote (0x22) is escaped; the solidus (0x2F) is not.
    0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    // 0x30-0x3F: digits and punctuation, copied.
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    // 0x40-0x4F: letters, copied.
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    // 0x50-0x5F: the backslash (0x5C) is escaped.
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '\\', 0,  0,   0,
    // 0x60-0x6F: letters, copied.
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    // 0x70-0x7F: letters, copied; DEL (0x7F) is not a JSON control character.
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    // 0x80-0xFF: bytes of multi-byte UTF-8 characters, copied so text stays as given.
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
};
// clang-format on

}  // namespace report::detail
