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
//  - normalised (after normalise()): every chunk but the top one in [0, 2^32), the top one
//    in [-2^31, 2^31); so the value's sign is the top chunk's, or it is zero.
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

    // Makes chunks lowest..highest (within the capacity) part of the window.
    void cover(int lowest, int highest);
    // Chunk index - base() for a chunk in the window.
    std::int64_t* data() { return chunks_.data(); }
    int base() const { return base_; }

    // Adds (-1)^negative * words * 2^position (words: a magnitude, 64-bit words least
    // significant first, at most four), as pieces below 2^32: one add per chunk, within the
    // budget of the per-value adds.
    void add_shifted(unsigned position, bool negative, std::span<const std::uint64_t> words);

    // Propagates carries; see the invariant above.
    void normalise();
    // Adds other's value; both may be unnormalised within the 2^10-add budget. Leaves
    // this normalised.
    void add(const ChunkWindow& other);

    // The normalised value as a sign and a magnitude in units of 2^(32 lowest_limb);
    // lowest_limb is the index of the lowest non-zero limb (0 for zero).
    struct Parts {
        bool negative = false;
        std::size_t lowest_limb = 0;
        Limbs limbs;  // lowest and top limb non-zero; empty for zero
    };
    Parts parts() const;
    // The value as a magnitude in units of 2^0 (the whole integer) and its sign.
    Limbs magnitude(bool& negative) const;
    // Sets the value to the given parts; throws std::length_error beyond the capacity.
    void assign(const Parts& parts);

    // Heap bytes held.
    std::size_t heap_bytes() const { return chunks_.capacity() * sizeof(std::int64_t); }

  private:
    std::vector<std::int64_t> chunks_;
    int base_ = 0;
    int capacity_;
};

}  // namespace exact_sum
