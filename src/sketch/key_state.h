// SipHash-1-3 keys and the per-thread key state from which new sketches draw them.
//
// Each thread seeds its state once, on its first draw, with 16 bytes from the operating
// system's random source (k0 from bytes 0..7, k1 from 8..15, little-endian). A draw
// returns the current pair and adds 1 to k0, so two sketches never share keys within a
// thread. A process never runs with unseeded keys: if no random source answers, it aborts.
//
// Thread safety: the state is thread-local; no locks.
#pragma once

#include <cstdint>

namespace sketch {

struct SipKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    friend bool operator==(const SipKey&, const SipKey&) = default;
};

// SipHash-1-3 of the 8 bytes of `message`, least significant byte first.
std::uint64_t siphash13(SipKey key, std::uint64_t message);

// Draws the next key pair from the calling thread's key state.
SipKey draw_key();

}  // namespace sketch
