// SipHash-1-3 of a single 64-bit word: the hash every sketch key passes through.
//
// One compression round per message block and three finalisation rounds, with the
// standard initialisation constants. The message is the word's 8 bytes, least
// significant byte first, so it forms exactly one block; the length block that follows
// carries only the length (8) in its top byte. siphash13_text hashes a byte string the
// same way: text values' sketch keys, the tables of names and the profile checksum use it.
//
// Invariants: pure function of (key, message); the result does not depend on the
// machine's byte order.
//
// Thread safety: no state.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "hash/load_le.h"

namespace hash {

struct SipKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    friend bool operator==(const SipKey&, const SipKey&) = default;
};

namespace detail {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    // The standard initial state under `key`.
    static constexpr SipState keyed(SipKey key) {
        return SipState{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                        key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    }

    constexpr void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    // One block with c = 1 compression round.
    constexpr void absorb(std::uint64_t block) {
        v3 ^= block;
        round();
        v0 ^= block;
    }

    // The d = 3 finalisation rounds and the result.
    constexpr std::uint64_t finish() {
        v2 ^= 0xff;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

inline constexpr std::uint64_t kSipLengthBlock = std::uint64_t{8} << 56;

// The last block of a text of `size` bytes at `text`: its final size % 8 bytes, least
// significant first, with the length modulo 256 in the top byte. Those bytes are read by
// at most three loads that stay inside the text, overlapping when it is short: a loop over
// them would cost a branch per byte, mispredicted as text lengths vary.
inline std::uint64_t last_text_block(const unsigned char* text, std::size_t size) {
    const std::size_t left = size % 8;
    const std::uint64_t length = static_cast<std::uint64_t>(size & 0xFF) << 56;
    if (left == 0) {
        return length;
    }
    const unsigned char* end = text + size;
    if (size >= 8) {
        return length | (load_le64(end - 8) >> (64 - 8 * left));
    }
    if (left >= 4) {
        // Bytes 0..3 and left-4..left-1; where the two overlap they agree.
        return length | load_le_word<std::uint32_t>(text) |
               (load_le_word<std::uint32_t>(end - 4) << (8 * (left - 4)));
    }
    // One to three bytes: the first, the middle and the last cover them all.
    return length | text[0] | (std::uint64_t{text[left / 2]} << (8 * (left / 2))) |
           (std::uint64_t{text[left - 1]} << (8 * (left - 1)));
}

}  // namespace detail

// SipHash-1-3 of the 8 bytes of `message`, least significant byte first. Inline because
// every sketch insertion starts with it.
constexpr std::uint64_t siphash13(SipKey key, std::uint64_t message) {
    detail::SipState s = detail::SipState::keyed(key);
    s.absorb(message);
    s.absorb(detail::kSipLengthBlock);
    return s.finish();
}

// SipHash-1-3 of a text's bytes: 8-byte blocks front to back, then a last block holding
// the remaining bytes and, in its top byte, the length modulo 256. For an 8-byte text
// this is siphash13 of the word those bytes make, least significant first.
inline std::uint64_t siphash13_text(SipKey key, std::string_view text) {
    detail::SipState s = detail::SipState::keyed(key);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    for (; left >= 8; p += 8, left -= 8) {
        s.absorb(load_le64(p));
    }
    s.absorb(
        detail::last_text_block(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    return s.finish();
}

}  // namespace hash
