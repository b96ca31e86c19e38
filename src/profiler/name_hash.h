// NameHash: the hash that places column names in every table of names the engine builds,
// the column map's shard tables and the indexes a batch makes of its own names, and in the
// tables of names that the row readers build (the binding's key texts, a JSON Lines
// chunk's field names).
//
// Names come from whoever feeds rows. A hash they can compute (FxHash, which has no seed,
// or std::hash, whose seed is fixed) lets them choose names that all fall into one bucket,
// and every lookup then walks every name: tens of thousands of such names turn one call
// into tens of seconds. NameHash is SipHash-1-3 under a key of its own for each column
// map; a batch's own indexes use the key of the map it pinned, so a call draws nothing.
// A map's key is SipHash of a running count under a secret that the process draws once
// from the operating system's random source: keys no caller can know, without a system
// call per map (a flush makes a map, and a getrandom call would cost more than a small
// flush). Bucket placement, not correctness, rests on the key: names are always compared
// in full.
//
// Thread safety: fresh() may be called from any thread; a NameHash is an immutable value.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "hash/siphash.h"

namespace profiler {

struct NameHash {
    using is_transparent = void;  // a string_view finds a std::string key without a copy

    hash::SipKey key;

    // A hash under a key no earlier call returned.
    static NameHash fresh();

    std::size_t operator()(std::string_view name) const noexcept {
        return static_cast<std::size_t>(hash::siphash13_text(key, name));
    }
};

// Indexes of names borrowed for the length of one call.
template <class Value>
using NameIndex = std::unordered_map<std::string_view, Value, NameHash, std::equal_to<>>;
using NameSet = std::unordered_set<std::string_view, NameHash, std::equal_to<>>;

}  // namespace profiler
