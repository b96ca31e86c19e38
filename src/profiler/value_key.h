// Sketch keys of values: the 64-bit word under which a value enters its column's sketch.
//
// A number is keyed by the bit pattern of its double, so an int and the equal float (1,
// 1.0 and True) are one value, while 0.0 and -0.0 are two (int 0 is +0.0). An int that no
// double holds exactly (a magnitude beyond 2^53 with low bits set) would lose those bits in
// its double, and with them its identity; it is keyed instead by SipHash-1-3 of its 8
// little-endian bytes under the engine's integer key. A text is keyed by SipHash-1-3 of all
// of its UTF-8 bytes under the engine's text key; the finalisation takes in the length, so
// trailing NUL bytes count ("a" and "a\0" differ).
//
// The two hashed keys then enter the sketch like any other 64-bit key: distinct texts and
// distinct wide ints get distinct keys, and keys distinct from every double's bits, up to
// 64-bit chance. The keys are secret, so nobody outside the engine can pick values that
// collide. Texts and ints are hashed under different keys because an 8-byte text and an
// int are the same SipHash input.
//
// Invariants: keys are a pure function of (ValueKeys, value). Two engines built from the
// same secret key every value alike, whatever process they run in.
//
// Thread safety: pure functions and plain values; ValueKeys::from_os reads the operating
// system's random source.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>

#include "hash/key_state.h"
#include "hash/siphash.h"
#include "hash/siphash_many.h"

namespace profiler {

struct ValueKeys {
    hash::SipKey text;     // keys text values
    hash::SipKey integer;  // keys ints that no double holds
    // Whether the engine these keys serve keeps a column summary: readers then give each
    // column part a summary part (column_batch.h) and hand it the texts of text cells.
    bool summaries = false;

    // Both keys derived from one 128-bit secret, so that one seed is all an engine needs.
    static constexpr ValueKeys from_secret(hash::SipKey secret) {
        return ValueKeys{{hash::siphash13(secret, 0), hash::siphash13(secret, 1)},
                         {hash::siphash13(secret, 2), hash::siphash13(secret, 3)},
                         false};
    }
    // Keys from a fresh secret of the operating system's random source.
    static ValueKeys from_os() { return from_secret(hash::KeyState::from_os().draw()); }

    friend bool operator==(const ValueKeys&, const ValueKeys&) = default;
};

// Whether a double holds the integer exactly: its significant bits, from the highest set
// bit down to the lowest, span at most 53. Holds for 0 and for -2^63 (one bit), not for
// 2^63 - 1 (63 bits), which would round to 2^63.
constexpr bool double_holds(std::int64_t i) {
    const auto u = static_cast<std::uint64_t>(i);
    const std::uint64_t magnitude = i < 0 ? 0 - u : u;
    return static_cast<int>(std::bit_width(magnitude)) - std::countr_zero(magnitude) <= 53;
}

constexpr std::uint64_t float_key(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

constexpr std::uint64_t int_key(const ValueKeys& keys, std::int64_t i) {
    if (double_holds(i)) [[likely]] {
        return float_key(static_cast<double>(i));
    }
    return hash::siphash13(keys.integer, static_cast<std::uint64_t>(i));
}

// An integer in [2^63, 2^64), such as an unsigned 64-bit hash or id: the value rules
// make it a Float (its nearest double, for the bounds), but when that double does not
// hold it exactly it is keyed by its own value, so that distinct ones stay distinct. Its
// 8 bytes are hashed with a ninth, a tag, under the integer key: a 9-byte message is never
// an int64's 8-byte one, so it never shares an input with a signed integer.
inline std::uint64_t wide_unsigned_key(const ValueKeys& keys, std::uint64_t u) {
    const auto magnitude_bits = static_cast<int>(std::bit_width(u)) - std::countr_zero(u);
    if (magnitude_bits <= 53) {
        return float_key(static_cast<double>(u));
    }
    char message[9];
    for (int i = 0; i < 8; ++i) {
        message[i] = static_cast<char>(u >> (8 * i));
    }
    message[8] = 1;
    return hash::siphash13_text(keys.integer, std::string_view(message, sizeof message));
}

inline std::uint64_t text_key(const ValueKeys& keys, std::string_view utf8) {
    return hash::siphash13_text(keys.text, utf8);
}

// out[i] = text_key(keys, texts[i]), the spans of equal length: many texts keyed at once,
// their hashes interleaved (siphash_many.h), for a reader that keys a row's texts together.
inline void bulk_text_keys(const ValueKeys& keys, std::span<const std::string_view> texts,
                           std::span<std::uint64_t> out) {
    hash::siphash13_texts(keys.text, texts, out);
}

}  // namespace profiler
