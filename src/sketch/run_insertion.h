// Run insertion: how insert_many takes a long run of keys at less than the cost of one
// insert per key, with the same resulting sketch.
//
// Hashing. RunHasher hashes the keys a block at a time, side by side. It keeps no memo of
// recent keys: the caller's column parts already drop near repeats before a run gets here,
// and a second cache measured no faster.
//
// The sparse form. RunTempSet plays temp_set's part, with the same codes emptied at the
// same points; the codes emptied out wait in GatheredCodes and are merged into the list
// with one sort and one pass per few thousand codes, instead of one pass per 132. The list
// at any point is the old list joined with every code emptied out so far, whatever the
// grouping, so the result is the list one-at-a-time insertion would have made (see
// CardinalitySketch::insert_sparse_run).
//
// Thread safety: the helpers live inside one insert_many call.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "common/probe_table.h"
#include "hash/siphash.h"  // SipKey
#include "hash/siphash_many.h"
#include "sketch/hash_position.h"
#include "sketch/temp_set.h"

namespace sketch::detail {

// Runs at least this long take the gathered path; a shorter one empties temp_set at most
// once, so one key at a time costs no more.
inline constexpr std::size_t kSparseRunMin = kTempSetTrigger;
// Gathered codes are merged into the list when this many distinct ones are waiting: the
// sort stays in cache, and the pass over the list is spread over thousands of codes.
inline constexpr std::size_t kGatheredLimit = 8192;
// Random codes pass the byte limit at about 5,850 (two or three bytes each, a spread of a
// few dozen), so a run of distinct values checks here, and at every further step, whether
// its list still fits. Checking a little past the usual switch means the first check of a
// fresh column nearly always fails at once (see DifIntVec::merge) instead of writing out a
// list that the next step would find too long.
inline constexpr std::uint64_t kLikelyDense = 6144;
inline constexpr std::size_t kDenseCheckStep = 1024;

// Codes without a rank lie below 2^26 (a rank-carrying code, one in about two thousand,
// lies above). The home slot of a code in a table of 2^bits slots that follow code order:
// its top bits below 2^26, the rank-carrying codes sharing the last slot.
inline std::size_t code_order_slot(std::uint32_t code, unsigned bits) {
    return std::min<std::size_t>(code >> (kUnrankedCodeBits - bits), (std::size_t{1} << bits) - 1);
}

// The SipHash values of one insert_many run, a block at a time, so that the keys of a block
// are hashed side by side (see hash/siphash_many.h).
class RunHasher {
  public:
    static constexpr std::size_t kBlock = 16;

    explicit RunHasher(hash::SipKey key) : key_(key) {}

    // The hashes of keys[0, n) into out[0, n); n is at most kBlock.
    void hash_block(const std::uint64_t* keys, std::size_t n, std::uint64_t* out) const {
        hash::siphash13_many(key_, {keys, n}, {out, n});
    }

  private:
    hash::SipKey key_;
};

// The distinct codes emptied out of temp_set during a run and not yet merged, in an
// open-addressing table. A run over a column of repeated values empties the same codes
// out again and again; each repeat costs one probe here instead of a place in the sort.
//
// Slots follow code order (code_order_slot). Read in slot order, the table is sorted but
// for codes that probing moved past a larger one, a few places at most, so an insertion
// sort finishes it in about one pass. Codes are SipHash bits under a secret key: no input
// can be chosen to crowd a run of slots, and if codes ever did, the sort falls back to a
// radix sort, so only time would suffer.
//
// The table is sized once, for the run: growing it would re-add every code with a
// mispredicted branch or two each, which cost more than the rest of the run's bookkeeping.
// It holds at most half its home slots; `room` tells how many more codes fit. Slots past
// the last home slot take the codes probed beyond it, before probing wraps around.
//
// Everything it needs is allocated when it is made, so that a run that has begun changing
// its sketch allocates nothing more.
class GatheredCodes {
  public:
    explicit GatheredCodes(std::size_t run_length)
        : homes_(homes_for(run_length)),
          home_bits_(static_cast<unsigned>(std::countr_zero(homes_))),
          table_(homes_ + kTailSlots) {
        sorted_.reserve(homes_ / 2 + 1);
        scratch_.reserve(homes_ / 2 + 1);
    }

    // Adds a code; there must be room.
    void add(std::uint32_t code) {
        table_.insert(code_order_slot(code, home_bits_), code,
                      [code](std::uint32_t taken) { return taken == code; });
    }

    std::size_t size() const { return table_.size(); }
    std::size_t room() const { return homes_ / 2 - table_.size(); }

    // The codes ascending, each once; valid until the next call. The set is empty after.
    std::span<const std::uint32_t> take_sorted();

  private:
    static constexpr std::size_t kMinHomes = 512;
    static constexpr std::size_t kMaxHomes = 2 * kGatheredLimit;
    static constexpr std::size_t kTailSlots = 64;
    static constexpr std::size_t kMovesPerCode = 4;
    static_assert(kMinHomes / 2 >= kTempSetTrigger,
                  "an empty table has room for the codes of one emptying of temp_set");

    // Room for every key of a short run; a long one merges when the table is half full.
    static std::size_t homes_for(std::size_t run_length) {
        return std::clamp(std::bit_ceil(2 * run_length), kMinHomes, kMaxHomes);
    }

    // Sorts nearly sorted codes; false, leaving them in some order, if that took more than
    // `budget` moves.
    static bool insertion_sort(std::vector<std::uint32_t>& codes, std::size_t budget);

    std::size_t homes_;
    unsigned home_bits_;
    common::ProbeTable<common::ReservedFree<std::uint32_t, TempSet::kFree>> table_;
    std::vector<std::uint32_t> sorted_;
    std::vector<std::uint32_t> scratch_;
};

// temp_set's part during a long run: the same set of codes, emptied at the same points,
// in a table eight times as large, so that a probe nearly always ends at its first slot,
// and with each slot stamped by the fill it belongs to, so that emptying is one
// increment. Slots follow code order as in GatheredCodes. The codes of the current fill
// are also listed in order of arrival, for emptying and for handing back to temp_set.
class RunTempSet {
  public:
    // Takes over temp_set's codes, leaving temp_set empty.
    explicit RunTempSet(TempSet& temp_set);

    // Adds the code; false if it was there already.
    bool insert(std::uint32_t code) {
        const StampedSlots::Slot slot{code, table_.policy().fill};
        if (!table_.insert(
                code_order_slot(code, kSlotBits), slot,
                [code](const StampedSlots::Slot& taken) { return taken.code == code; })) {
            return false;
        }
        members_[table_.size() - 1] = code;
        return true;
    }

    std::size_t size() const { return table_.size(); }
    std::span<const std::uint32_t> codes() const { return {members_.data(), table_.size()}; }

    void clear() { table_.clear(); }

    // Hands the current codes back to temp_set, which must be empty.
    void give_back(TempSet& temp_set) const;

  private:
    static constexpr unsigned kSlotBits = 10;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    static_assert(kSlots / kTempSetTrigger >= 7,
                  "temp_set's codes fill about an eighth of the slots at most, so that a probe "
                  "nearly always ends at its home slot");

    // A slot is taken when it carries the stamp of the current fill; emptying moves on to
    // the next stamp, and clears every slot only when the stamps wrap around.
    struct StampedSlots {
        struct Slot {
            std::uint32_t code = 0;
            std::uint32_t fill = 0;
        };
        std::uint32_t fill = 0;  // the table's construction clears once, moving to stamp 1
        bool is_free(const Slot& slot) const { return slot.fill != fill; }
        void clear(std::span<Slot> slots) {
            if (++fill == 0) {  // stamps wrapped: no slot may look current
                for (Slot& slot : slots) {
                    slot.fill = 0;
                }
                fill = 1;
            }
        }
    };

    common::ProbeTable<StampedSlots, kSlots> table_;
    std::array<std::uint32_t, kTempSetTrigger> members_;
};

}  // namespace sketch::detail
