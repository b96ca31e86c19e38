// ProbeTable: the one open-addressing table with linear probing behind every small hash set
// and map of the engine and the binding. It stores slots in place, probes from a home slot
// that the caller computes (the caller knows its keys; see common/mix64.h for the usual
// rule), and wraps from the last slot to the first, so a table may have any number of
// slots, not only a power of two.
//
// A slot policy says what a slot is and which slots are free:
//
//   struct Policy {
//       using Slot = ...;                        // trivially copyable
//       bool is_free(const Slot&) const;         // no match is asked of a free slot
//       void clear(std::span<Slot> slots);       // makes every slot free
//   };
//
// The table keeps its policy by value, so a policy may hold state: a fill stamp that frees
// every slot at once, or the hash of the key that marks an unused slot.
//
// Matching is the caller's: insert and find_slot take a predicate over the taken
// slots, so a slot may hold a hash whose key lives elsewhere and is compared only there.
//
// A table may also serve as a direct-mapped cache (a key only ever in its home slot, a miss
// replacing whatever is there): its policy then calls no slot free, and its owner uses only
// operator[] and set.
//
// Invariants: size() counts the slots that insert and place took since the last clear;
// probing needs a free slot (or a match) somewhere, so the owner keeps the table below full.
//
// Thread safety: none; the owner serialises every call.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace common {

// The policy of slots that are free when they hold one reserved value, which no key may be.
template <class T, T kFreeValue>
struct ReservedFree {
    using Slot = T;
    static constexpr T kFree = kFreeValue;
    bool is_free(const Slot& slot) const { return slot == kFree; }
    void clear(std::span<Slot> slots) { std::fill(slots.begin(), slots.end(), kFree); }
};

// kFixedSlots > 0: that many slots inside the table; 0: a heap array sized at construction.
template <class Policy, std::size_t kFixedSlots = 0>
class ProbeTable {
  public:
    using Slot = typename Policy::Slot;
    static_assert(std::is_trivially_copyable_v<Slot>,
                  "slots are copied and overwritten freely, with no destructor to run");
    static constexpr bool kFixed = kFixedSlots != 0;

    // A table without slots: a placeholder to be assigned one with slots.
    ProbeTable()
        requires(!kFixed)
    = default;
    explicit ProbeTable(std::size_t slot_count, Policy policy = {})
        requires(!kFixed)
        : policy_(std::move(policy)), slots_(slot_count) {
        policy_.clear(slots_);
    }
    explicit ProbeTable(Policy policy = {})
        requires(kFixed)
        : policy_(std::move(policy)) {
        policy_.clear(slots_);
    }

    std::size_t slot_count() const { return slots_.size(); }
    std::size_t size() const { return size_; }
    bool is_free(std::size_t i) const { return policy_.is_free(slots_[i]); }
    const Slot& operator[](std::size_t i) const { return slots_[i]; }
    std::span<const Slot> slots() const { return slots_; }
    const Policy& policy() const { return policy_; }

    // The taken slot from `home` on that `match` holds for, or nullptr if a free slot
    // comes first.
    template <class Match>
    const Slot* find_slot(std::size_t home, Match&& match) const {
        for (std::size_t i = home; !policy_.is_free(slots_[i]); i = next(i)) {
            if (match(slots_[i])) {
                return &slots_[i];
            }
        }
        return nullptr;
    }

    // Stores `slot` in the first free slot from `home` on, unless a slot that `match`
    // holds for comes first; true if it was stored.
    template <class Match>
    bool insert(std::size_t home, const Slot& slot, Match&& match) {
        std::size_t i = home;
        for (; !policy_.is_free(slots_[i]); i = next(i)) {
            if (match(slots_[i])) {
                return false;
            }
        }
        slots_[i] = slot;
        ++size_;
        return true;
    }

    // Stores a slot whose key the caller knows to be absent.
    void place(std::size_t home, const Slot& slot) {
        insert(home, slot, [](const Slot&) { return false; });
    }

    // Overwrites slot i, for a direct-mapped cache; size() is not changed.
    void set(std::size_t i, const Slot& slot) { slots_[i] = slot; }

    void clear() {
        policy_.clear(slots_);
        size_ = 0;
    }

    // Writes project(slot) of every taken slot to `out` in slot order; returns how many.
    // Without a branch per slot, since a table kept half empty has free slots at random: a
    // free slot is written too and overwritten by the next taken one, so `out` needs room
    // for size() + 1 values.
    template <class Out, class Project>
    std::size_t copy_taken(Out* out, Project&& project) const {
        std::size_t n = 0;
        for (const Slot& slot : slots_) {
            out[n] = project(slot);
            n += policy_.is_free(slot) ? 0 : 1;
        }
        return n;
    }

    // Moves every taken slot into a new array of `slot_count` slots, each from the home
    // that home_of(slot) gives for that count; slot_count must exceed size(). For policies
    // whose taken slots stay taken when copied into a fresh array (not a fill stamp).
    template <class HomeOf>
    void rehash(std::size_t slot_count, HomeOf&& home_of)
        requires(!kFixed)
    {
        ProbeTable next(slot_count, policy_);
        for (const Slot& slot : slots_) {
            if (!policy_.is_free(slot)) {
                next.place(home_of(slot), slot);
            }
        }
        *this = std::move(next);
    }

  private:
    std::size_t next(std::size_t i) const { return i + 1 == slots_.size() ? 0 : i + 1; }

    using Storage = std::conditional_t<kFixed, std::array<Slot, kFixedSlots>, std::vector<Slot>>;

    [[no_unique_address]] Policy policy_{};
    Storage slots_{};
    std::size_t size_ = 0;
};

}  // namespace common
