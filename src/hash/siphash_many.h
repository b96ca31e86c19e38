// siphash13_many: SipHash-1-3 of many 64-bit words under one key; siphash13_texts: of many
// texts.
//
// Word for word equal to siphash13 (siphash.h). On x86-64 processors with AVX2 it hashes
// four words at once, one in each 64-bit lane of a 256-bit register: the five rounds of
// one word are a chain of dependent operations, so lanes are what makes the hashing of a
// long run cheaper than the run's other work. Elsewhere, and for the last words of a run
// that do not fill four lanes, it calls siphash13.
//
// Thread safety: no state but a flag, set once, that records whether the processor has
// AVX2.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "hash/siphash.h"

namespace hash {

// hashes[i] = siphash13(key, messages[i]); the spans have equal length.
void siphash13_many(SipKey key, std::span<const std::uint64_t> messages,
                    std::span<std::uint64_t> hashes);

// hashes[i] = siphash13_text(key, texts[i]); the spans have equal length. Texts are hashed
// two at a time, their rounds interleaved: each hash is a chain of dependent rounds, and
// two chains keep the processor's units busy where one leaves them waiting.
void siphash13_texts(SipKey key, std::span<const std::string_view> texts,
                     std::span<std::uint64_t> hashes);

// Whether siphash13_many uses the four-lane form on this processor (for tests).
bool siphash13_many_uses_lanes();

}  // namespace hash
