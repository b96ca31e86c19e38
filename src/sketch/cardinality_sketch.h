// CardinalitySketch: a HyperLogLog++ sketch of precision 14 that estimates how many
// distinct 64-bit keys it has received.
//
// Forms. A sketch starts sparse: the exact set of 32-bit sparse codes (hash positions at
// precision 25) as a sorted, difference-encoded byte list (`DifIntVec`) with an unsorted
// `temp_set` of at most 131 codes in front of it. When a merge leaves the list longer
// than 13107 bytes the sketch turns dense for good: 16384 six-bit registers packed five
// to a 32-bit word (`RegistersPlus`). Turning dense yields exactly the registers that
// dense insertion of the same keys would have yielded.
//
// Invariants:
//  - sparse: `registers` absent; codes in `sparse` strictly ascending, each once; a code
//    may also stand in `temp_set` (a merge writes it once).
//  - dense: `temp_set` empty, `sparse` holds no codes and no buffer (entry_count 0,
//    last_value 0).
//  - the sparse list never takes more room than the dense registers (13108 bytes): its
//    buffer's capacity stays at or below 13107 bytes.
//  - every code is at least 2 and at most kLargestCode (hash_position.h), so 0xFFFFFFFF
//    can mark a free slot.
//
// Files: one per form and rule; this header is the contract and includes all but the
// run helpers:
// hash_position.h (constants, codes, ranks), dif_int_vec.h (the sparse list),
// registers_plus.h (the dense registers), temp_set.h, run_insertion.h (insert_many's
// helpers) and estimate.h (count's arithmetic).
//
// Keys. Every key is hashed with SipHash-1-3 under `value_key`, drawn from the calling
// thread's key state at creation (see hash/key_state.h), so the same data may give slightly
// different estimates in different processes. Tests pass explicit keys.
//
// Cost. insert is one SipHash and a few bit operations. In the sparse form, every 132nd
// code that reaches temp_set (new or already listed) costs one pass over the list, which
// copies unchanged stretches as they stand; in the dense form nothing is allocated.
// insert_many of a long run in the sparse form gathers temp_set's distinct codes instead
// and merges them with one sort and one pass per few thousand codes (see
// insert_sparse_run); a long run also remembers recent keys' hashes, so repeated values
// are hashed about once per call.
// count costs at most one merge and one pass over the registers.
//
// Reservation. A list merge writes a new buffer and turning dense takes one for the
// registers, so insertion and union may allocate. An owner that must apply a batch all or
// nothing reserves first (reserve, which may throw bad_alloc and changes no content), then
// inserts or merges what it reserved for, which then allocates nothing and cannot fail,
// then releases. With R codes reserved in all, L list bytes and t codes in temp_set, no
// merge needs more room than B = min(L + 5 (t + R), 13107) bytes (a code adds at most
// five bytes, and L + 5 t grows by at most five per key), so the sketch keeps two spare
// list buffers of at least B bytes: a merge writes into the larger spare and the list's
// old buffer takes its place, so that two of the three buffers, one of them a spare,
// always hold B. The registers' words are held ready whenever L + 5 (t + R) passes the
// limit or a dense state is to be merged. Keys whose codes cannot bring temp_set to its
// merge (t + R below 132) need no room at all, the usual case for small batches.
// Reservations add up, so owners that reserve under one lock and apply under another hold
// of it never take each other's room. The last release gives the spares back.
//
// Thread safety: none of its own. The owner serialises every call (a column's
// sketch_mutex); no operation takes a lock. Creation touches only the creating thread's
// key state. Lock order: the sketch takes no lock, so it adds nothing to the owner's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "hash/key_state.h"
#include "sketch/dif_int_vec.h"
#include "sketch/estimate.h"
#include "sketch/hash_position.h"
#include "sketch/registers_plus.h"
#include "sketch/temp_set.h"

namespace sketch {

namespace detail {
// insert_many's helpers (run_insertion.h).
class RunHasher;
class GatheredCodes;
}  // namespace detail

// ---- Stored state -------------------------------------------------------------------

// A sketch's content without its keys and with temp_set folded in: the sorted code list
// when sparse, the registers when dense. It depends only on the set of codes received, so
// two sketches under one value_key that received the same keys, in any order, split in
// any way, have equal states. Profiles store and merge sketches in this form.
struct SketchState {
    DifIntVec sparse;                        // the codes; empty when dense
    std::optional<RegistersPlus> registers;  // present when dense
};

// The two key pairs of a sketch: value_key for the values, temp_set_key for temp_set's
// slots. Sketches merge only under equal value keys.
struct SketchKeys {
    hash::SipKey value_key;
    hash::SipKey temp_set_key;
};

// ---- The sketch ---------------------------------------------------------------------

class CardinalitySketch {
  public:
    // Draws value_key, then the temp_set key, from the calling thread's key state.
    CardinalitySketch();
    // Explicit keys, for tests and reproducible runs.
    CardinalitySketch(hash::SipKey value_key, hash::SipKey temp_set_key);

    CardinalitySketch(const CardinalitySketch&) = delete;
    CardinalitySketch& operator=(const CardinalitySketch&) = delete;
    CardinalitySketch(CardinalitySketch&&) noexcept = default;
    CardinalitySketch& operator=(CardinalitySketch&&) noexcept = default;

    void insert(std::uint64_t key);
    // Same effect as inserting every key in turn (run_insertion.cpp).
    void insert_many(std::span<const std::uint64_t> keys);
    // The estimate; in the sparse form it merges temp_set first (see estimate.cpp).
    double count();

    bool is_dense() const { return registers_.has_value(); }
    // Inspection, for tests.
    hash::SipKey value_key() const { return value_key_; }
    std::size_t temp_set_size() const { return temp_set_.size(); }
    const DifIntVec& sparse() const { return sparse_; }
    const RegistersPlus* registers() const { return registers_ ? &*registers_ : nullptr; }

    // Stored form and union (sketch_union.cpp). state() leaves the sketch as it is; the
    // union makes this sketch what one sketch given both key sets would be after count():
    // sparse with the joined codes while their list fits, dense (register-wise maximum)
    // otherwise. Both sketches must share value_key. Merging a sketch's own state changes
    // nothing.
    SketchState state() const;
    void merge(const SketchState& other);
    void merge(const CardinalitySketch& other) { merge(other.state()); }

    // Reservation (reservation.cpp), see above. reserve makes room for `codes` more keys
    // to be inserted, or for merging a sparse state of that many codes; reserve_state
    // for merging `other`. Each throws bad_alloc having changed no content, and counts
    // one hold only when it returns. release gives back one hold of `codes`
    // (reserve_state's: codes_of_state(other)).
    void reserve(std::uint64_t codes) { reserve_room(codes, false, false); }
    void reserve_state(const SketchState& other) {
        reserve_room(codes_of_state(other), other.registers.has_value(), true);
    }
    static std::uint64_t codes_of_state(const SketchState& state) {
        return state.registers ? 0 : state.sparse.entry_count();
    }
    void release(std::uint64_t codes) noexcept;
    // Inspection, for tests: holds outstanding, and the larger spare list buffer.
    std::uint64_t holds() const { return holds_; }
    std::size_t spare_capacity() const { return larger_spare().capacity(); }

  private:
    struct Keys {
        hash::SipKey value_key;
        hash::SipKey temp_set_key;
    };
    static Keys draw_keys();
    explicit CardinalitySketch(Keys keys);

    // Merges temp_set into the sparse list, and turns dense if the list passes the byte
    // limit; run by insert and count only.
    void merge_sparse();
    void insert_hash(std::uint64_t h);
    void insert_sparse(std::uint64_t h);
    void insert_dense_run(std::span<const std::uint64_t> keys, detail::RunHasher& hasher);
    std::size_t insert_sparse_run(std::span<const std::uint64_t> keys, detail::RunHasher& hasher);
    bool merge_gathered(detail::GatheredCodes& gathered);
    void turn_dense(std::span<const std::uint32_t> fresh_codes);
    // The list merged with fresh codes (a span or another list) into the spare buffer,
    // which then becomes the list; false, the list unchanged, past the byte limit.
    template <class Fresh>
    bool merge_list(const Fresh& fresh);
    // Registers whose words take the reserved storage when there is one.
    RegistersPlus fresh_registers();
    // Gives up the spare buffers when no reservation holds them.
    void drop_spares() noexcept;
    // `merges`: the codes go into the list whatever temp_set holds (a state's union).
    void reserve_room(std::uint64_t codes, bool dense_state, bool merges);
    DifIntVec& larger_spare() {
        return spares_[0].capacity() >= spares_[1].capacity() ? spares_[0] : spares_[1];
    }
    const DifIntVec& larger_spare() const {
        return spares_[0].capacity() >= spares_[1].capacity() ? spares_[0] : spares_[1];
    }

    hash::SipKey value_key_;
    TempSet temp_set_;
    DifIntVec sparse_;
    std::optional<RegistersPlus> registers_;
    // Reservation state (reservation.cpp): holds outstanding and the codes they reserved;
    // the spare list buffers; the registers' words, ready to be taken.
    std::uint64_t holds_ = 0;
    std::uint64_t reserved_codes_ = 0;
    std::array<DifIntVec, 2> spares_;
    std::vector<std::uint32_t> spare_words_;
};

}  // namespace sketch
