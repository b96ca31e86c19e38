// SipHash-1-3 keys and the per-thread key state from which new sketches draw them.
//
// Each thread seeds its state once, on its first draw, with 16 bytes from the operating
// system's random source (k0 from bytes 0..7, k1 from 8..15, little-endian). A draw
// returns the current pair and adds 1 to k0, so two sketches never share keys within a
// thread. A process never runs with unseeded keys: the source is getrandom, then
// /dev/urandom when getrandom is missing or fails; if neither answers, the process aborts.
//
// Thread safety: the state is thread-local; no locks.
#pragma once

#include <array>
#include <cstdint>

#include "hash/siphash.h"  // SipKey, siphash13

namespace hash {

// A key state: the next pair to hand out.
class KeyState {
  public:
    explicit constexpr KeyState(SipKey next) : next_(next) {}
    // k0 from bytes 0..7, k1 from bytes 8..15, each little-endian.
    static KeyState from_seed(const std::array<std::uint8_t, 16>& seed);
    // A state seeded from the operating system's random source; aborts if none answers.
    static KeyState from_os();

    // Returns the current pair, then adds 1 (mod 2^64) to k0.
    constexpr SipKey draw() {
        SipKey key = next_;
        ++next_.k0;
        return key;
    }

  private:
    SipKey next_;
};

// Draws the next key pair from the calling thread's key state, seeding it on first use.
SipKey draw_key();

}  // namespace hash
