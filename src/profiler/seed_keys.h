// The keys of a seeded profile, all derived from one 64-bit seed.
//
// Profiles that are to be merged must hash every value the same way in every process, so
// their keys cannot be drawn at random: each comes from the seed through SipHash-1-3
// under the seed, one label per key, so that no key reveals another or the seed. The
// fingerprint, stored with a profile to refuse merging profiles of different seeds, is
// derived the same way under a label of its own.
//
// A fixed, known seed lets anyone compute the keys, and so choose inputs that collide in
// the sketch; inputs chosen by an adversary call for a secret seed.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string_view>

#include "hash/siphash.h"
#include "profiler/value_key.h"
#include "sketch/cardinality_sketch.h"

namespace profiler {

struct SeedKeys {
    sketch::SketchKeys sketch;  // every column's sketch
    ValueKeys values;           // for keying texts and integers that no double holds
    std::uint64_t fingerprint = 0;
    std::uint64_t summary = 0;  // seeds every column summary's quantile sketch
};

namespace detail {
// Separates these derivations from any other use of SipHash under the seed.
inline constexpr std::uint64_t kSeedDomain = 0x6b6172766f2d6469ULL;

inline std::uint64_t seed_word(std::uint64_t seed, std::string_view label) {
    return hash::siphash13_text(hash::SipKey{seed, kSeedDomain}, label);
}

inline hash::SipKey seed_key(std::uint64_t seed, std::string_view label_k0,
                             std::string_view label_k1) {
    return hash::SipKey{seed_word(seed, label_k0), seed_word(seed, label_k1)};
}
}  // namespace detail

inline SeedKeys keys_from_seed(std::uint64_t seed) {
    SeedKeys keys;
    keys.sketch.value_key = detail::seed_key(seed, "sketch value k0", "sketch value k1");
    keys.sketch.temp_set_key = detail::seed_key(seed, "sketch temp set k0", "sketch temp set k1");
    keys.values.text = detail::seed_key(seed, "text k0", "text k1");
    keys.values.integer = detail::seed_key(seed, "big int k0", "big int k1");
    keys.fingerprint = detail::seed_word(seed, "profile fingerprint");
    keys.summary = detail::seed_word(seed, "summary quantile coins");
    return keys;
}

}  // namespace profiler
