// A sketch's stored state and the union of two sketches.
//
// The union relies on what makes the two forms interchangeable: a sparse code decodes to
// the register and rank of its hash, raising a register is idempotent and order-free, and
// a list's encoding depends only on its set of codes, never shorter for a larger set. So
// the state of one sketch given keys A and B is fixed by the joined code set alone: its
// list when that fits 13107 bytes, else the registers every code raises. The union builds
// exactly that, whatever forms the two sides are in.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "sketch/cardinality_sketch.h"

namespace sketch {

namespace {

void raise_by_code(RegistersPlus& registers, std::uint32_t code) {
    const RegisterUpdate update = decode_code(code);
    registers.raise(update.index, update.rank);
}

}  // namespace

// Counts without a branch per register: in a sparsely filled sketch about half the
// registers are zero, at random, which a branch would mispredict half the time.
RegistersPlus RegistersPlus::from_words(std::vector<std::uint32_t> words) {
    RegistersPlus registers;
    std::uint64_t zeros = 0;
    for (std::size_t i = 0; i < kRegisterCount; ++i) {
        zeros += ((words[i / kPerWord] >> (kBits * (i % kPerWord))) & kMask) == 0 ? 1 : 0;
    }
    registers.words_ = std::move(words);
    registers.register_count_ = kRegisterCount;
    registers.zero_count_ = zeros;
    return registers;
}

// Word by word, a maximum per register without a branch, for the same reason. In place:
// each word is read before it is written, and nothing is allocated.
void RegistersPlus::raise_all(const RegistersPlus& other) {
    std::uint64_t zeros = 0;
    for (std::size_t w = 0; w < words_.size(); ++w) {
        std::uint32_t word = 0;
        for (unsigned f = 0; f < kPerWord; ++f) {
            const std::uint32_t mine = (words_[w] >> (kBits * f)) & kMask;
            const std::uint32_t theirs = (other.words_[w] >> (kBits * f)) & kMask;
            const std::uint32_t raised = mine > theirs ? mine : theirs;
            word |= raised << (kBits * f);
            zeros += raised == 0 && w * kPerWord + f < register_count_ ? 1 : 0;
        }
        words_[w] = word;
    }
    zero_count_ = zeros;
}

SketchState CardinalitySketch::state() const {
    SketchState state;
    if (registers_) {
        state.registers = *registers_;
        return state;
    }
    std::array<std::uint32_t, TempSet::kSlots> waiting;
    const std::span<const std::uint32_t> fresh(waiting.data(), temp_set_.sorted_codes(waiting));
    if (fresh.empty()) {
        state.sparse = sparse_;
        return state;
    }
    // What merge_sparse would make of the list and temp_set, without changing either.
    if (std::optional<DifIntVec> merged = DifIntVec::merge(sparse_, fresh, kDenseSizeLimit)) {
        state.sparse = std::move(*merged);
        state.sparse.shrink_to_fit();
        return state;
    }
    RegistersPlus registers = RegistersPlus::with_count(kRegisterCount);
    sparse_.for_each([&registers](std::uint32_t code) { raise_by_code(registers, code); });
    for (std::uint32_t code : fresh) {
        raise_by_code(registers, code);
    }
    state.registers = std::move(registers);
    return state;
}

// Allocates nothing once reserve_state(other) has made room (cardinality_sketch.h): the
// dense side raises in place, and list merges write into the spare buffer.
void CardinalitySketch::merge(const SketchState& other) {
    if (other.registers) {
        if (!registers_) {
            turn_dense({});  // temp_set and the list, straight into the registers
        }
        registers_->raise_all(*other.registers);
        return;
    }
    if (other.sparse.entry_count() == 0) {
        return;  // nothing to add; temp_set may stay as it is
    }
    if (registers_) {
        other.sparse.for_each([this](std::uint32_t code) { raise_by_code(*registers_, code); });
        return;
    }
    merge_sparse();  // temp_set folded in: this side is now a list or registers
    if (registers_) {
        other.sparse.for_each([this](std::uint32_t code) { raise_by_code(*registers_, code); });
        return;
    }
    if (sparse_.entry_count() == 0) {
        // Nothing here yet (a profile being read back): copied as it is, into a spare.
        DifIntVec& spare = larger_spare();
        spare = other.sparse;
        std::swap(sparse_, spare);
        drop_spares();
        return;
    }
    if (!merge_list(other.sparse)) {
        turn_dense({});
        other.sparse.for_each([this](std::uint32_t code) { raise_by_code(*registers_, code); });
    }
}

}  // namespace sketch
