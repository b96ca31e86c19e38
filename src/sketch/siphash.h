// SipHash-1-3 of a single 64-bit word: the hash every sketch key passes through.
//
// One compression round per message block and three finalisation rounds, with the
// standard initialisation constants. The message is the word's 8 bytes, least
// significant byte first, so it forms exactly one block; the length block that follows
// carries only the length (8) in its top byte.
//
// Invariants: pure function of (key, message); the result does not depend on the
// machine's byte order.
//
// Thread safety: no state.
#pragma once

#include <bit>
#include <cstdint>

namespace sketch {

struct SipKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    friend bool operator==(const SipKey&, const SipKey&) = default;
};

namespace detail {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

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
};

inline constexpr std::uint64_t kSipLengthBlock = std::uint64_t{8} << 56;

}  // namespace detail

// SipHash-1-3 of the 8 bytes of `message`, least significant byte first. Inline because
// every sketch insertion starts with it.
constexpr std::uint64_t siphash13(SipKey key, std::uint64_t message) {
    detail::SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                       key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    s.absorb(message);
    s.absorb(detail::kSipLengthBlock);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace sketch
