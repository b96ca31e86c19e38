// ChunkWindow: a signed integer held as 64-bit chunks at 32-bit spacing, chunk k weighing
// 2^(32k), with carries deferred (the "small superaccumulator" of Neal, "Fast exact
// summation using small and large superaccumulators", 2015). Adding a piece below 2^52 to
// a chunk is one integer add; the chunks overlap by 32 bits, so a chunk takes 2^10 such
// adds beside its normalised 32 bits before it could leave int64 range, and the owner
// normalises (propagates carries) at least that often.
//
// Only the chunks between the lowest and the highest one ever touched are kept (the
// window), so a column whose values share a few exponents holds a few chunks; the window
// grows on demand up to the capacity given at construction, which bounds the value.
//
// Invariants:
//  - value = sum chunks_[i] * 2^(32 (base_ + i)); base_ + chunks_.size() <= capacity_.
//  - the top chunk takes no piece, only carries: cover() keeps a chunk above every chunk
//    it is asked for. After normalise() every chunk but the top one lies in [0, 2^32), so
//    the value's sign is the top chunk's, or it is zero. A normalisation carries less than
//    2^31 into the top chunk, so from below 2^31 (make_room) it takes 2^31 normalisations
//    before it could overflow.
//  - only cover(), make_room(), add() and assign() allocate; adds of pieces, add_shifted
//    within the covered chunks and normalise() never do, so a caller that covers first
//    cannot fail halfway through its adds.
//
// Thread safety: none; the owner serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exact_sum/magnitude.h"

namespace exact_sum {

class ChunkWindow {
  public:
    explicit ChunkWindow(int capacity) : capacity_(capacity) {}

    // Makes chunks lowest..highest part of the window, with one more above them; throws
    // std::logic_error beyond the capacity (callers stay within it by construction).
    void cover(int lowest, int highest);
    // Normalises, and widens the window at the top until its top chunk lies in
    // [-2^31, 2^31).
    void make_room();
    // Whether the top chunk has left [-2^31, 2^31), so that make_room() has work to do.
    bool needs_room() const;

    // Chunk index - base() for a chunk in the window.
    std::int64_t* data() { return chunks_.data(); }
    int base() const { return base_; }

    // Adds (-1)^negative * words * 2^position (words: a magnitude, 64-bit words least
    // significant first, at most four) as pieces below 2^32, one add per chunk, within
    // the budget of the per-value adds. The chunks must be covered; nothing is allocated.
    void add_shifted(unsigned position, bool negative, std::span<const std::uint64_t> words);
    // The chunks add_shifted(position, _, words of that many) touches, for cover().
    static int first_chunk(unsigned position) { return static_cast<int>(position >> 5); }
    static int last_chunk(unsigned position, std::size_t words) {
        return first_chunk(position) + 2 * static_cast<int>(words);
    }

    // Propagates carries (see the invariants); allocates nothing.
    void normalise();
    // Adds other's value (either may be unnormalised within the budget) and normalises.
    void add(const ChunkWindow& other);

    // The value as a sign and a magnitude in units of 2^(32 lowest_limb); lowest_limb is
    // the index of the lowest non-zero limb (0 for zero).
    struct Parts {
        bool negative = false;
        std::size_t lowest_limb = 0;
        Limbs limbs;  // lowest and top limb non-zero; empty for zero
    };
    Parts parts() const;
    // The value as a whole magnitude (units of 2^0) and its sign.
    Limbs magnitude(bool& negative) const;
    // Sets the value to the given parts; throws std::length_error beyond the capacity.
    void assign(const Parts& parts);

    // Heap bytes held.
    std::size_t heap_bytes() const { return chunks_.capacity() * sizeof(std::int64_t); }

  private:
    void widen(int new_base, int new_top);

    std::vector<std::int64_t> chunks_;
    int base_ = 0;
    int capacity_;
};

}  // namespace exact_sum
