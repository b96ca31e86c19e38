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

// Raises every register of `into` to at least its value in `from`.
void raise_to(RegistersPlus& into, const RegistersPlus& from) {
    for (std::size_t i = 0; i < kRegisterCount; ++i) {
        into.raise(i, from.get(i));
    }
}

std::vector<std::uint32_t> codes_of(const DifIntVec& list) {
    std::vector<std::uint32_t> codes;
    codes.reserve(static_cast<std::size_t>(list.entry_count()));
    list.for_each([&codes](std::uint32_t code) { codes.push_back(code); });
    return codes;
}

}  // namespace

SketchState CardinalitySketch::state() const {
    SketchState state;
    if (registers_) {
        state.registers = *registers_;
        return state;
    }
    std::array<std::uint32_t, detail::TempSet::kSlots> waiting;
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

void CardinalitySketch::merge(const SketchState& other) {
    merge_sparse();  // temp_set folded in: both sides are now a list or registers
    if (other.registers) {
        if (!registers_) {
            turn_dense({});
        }
        raise_to(*registers_, *other.registers);
        return;
    }
    if (registers_) {
        other.sparse.for_each([this](std::uint32_t code) { raise_by_code(*registers_, code); });
        return;
    }
    if (other.sparse.entry_count() == 0) {
        return;
    }
    const std::vector<std::uint32_t> codes = codes_of(other.sparse);
    if (std::optional<DifIntVec> merged = DifIntVec::merge(sparse_, codes, kDenseSizeLimit)) {
        sparse_ = std::move(*merged);
        sparse_.shrink_to_fit();
    } else {
        turn_dense(codes);
    }
}

}  // namespace sketch
