// TempSet: the sparse form's unsorted codes in front of the sorted list, gathered so that
// the list is rebuilt once per 132 codes rather than once per value.
//
// Invariants: at most kTempSetTrigger codes between the sketch's operations (the sketch
// empties the set when it reaches them); each code once.
//
// Thread safety: none of its own; the owning sketch's caller serialises every call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/mix64.h"
#include "common/probe_table.h"
#include "hash/siphash.h"  // SipKey
#include "sketch/hash_position.h"

namespace sketch {

// The unsorted codes in front of the sparse list: a probe table of 256 slots, filled to at
// most 132 codes (just over half) before the owner empties it. Its slot hash is keyed by
// the sketch's second key pair, so that no input can be chosen to collide in every sketch.
class TempSet {
  public:
    static constexpr unsigned kSlotBits = 8;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    static constexpr std::uint32_t kFree = 0xFFFFFFFF;
    static_assert(kFree > kLargestCode, "a free slot never looks like a code");
    static_assert(kTempSetTrigger < kSlots,
                  "a free slot always remains: every probe ends, and copying the codes out "
                  "may write one value past the last");

    explicit TempSet(hash::SipKey key) : key_(key) {}

    // Adds the code; false if it was there already. At most kTempSetTrigger codes.
    bool insert(std::uint32_t code) {
        return table_.insert(slot_of(code), code,
                             [code](std::uint32_t taken) { return taken == code; });
    }

    std::size_t size() const { return table_.size(); }
    // Writes every code to `out` in slot order; returns how many.
    std::size_t codes(std::array<std::uint32_t, kSlots>& out) const;
    // Writes every code to `out`, ascending; returns how many.
    std::size_t sorted_codes(std::array<std::uint32_t, kSlots>& out) const;
    void clear() { table_.clear(); }

  private:
    // The key words enter before and between two mixes, so each sketch places codes its
    // own way.
    std::size_t slot_of(std::uint32_t code) const {
        return common::mix_slot(common::mix64(code + key_.k0) ^ key_.k1, kSlotBits);
    }

    hash::SipKey key_;
    common::ProbeTable<common::ReservedFree<std::uint32_t, kFree>, kSlots> table_;
};

}  // namespace sketch
