#include "sketch/cardinality_sketch.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "hash/siphash.h"

namespace sketch {

// ---- creation -----------------------------------------------------------------------

CardinalitySketch::Keys CardinalitySketch::draw_keys() {
    // Two statements, so that value_key is certainly the first draw.
    Keys keys;
    keys.value_key = hash::draw_key();
    keys.temp_set_key = hash::draw_key();
    return keys;
}

CardinalitySketch::CardinalitySketch() : CardinalitySketch(draw_keys()) {}

CardinalitySketch::CardinalitySketch(Keys keys)
    : CardinalitySketch(keys.value_key, keys.temp_set_key) {}

CardinalitySketch::CardinalitySketch(hash::SipKey value_key, hash::SipKey temp_set_key)
    : value_key_(value_key), temp_set_(temp_set_key) {}

// ---- insertion ----------------------------------------------------------------------

void CardinalitySketch::insert(std::uint64_t key) {
    insert_hash(hash::siphash13(value_key_, key));
}

void CardinalitySketch::insert_hash(std::uint64_t h) {
    if (registers_) {
        const RegisterUpdate update = dense_update(h);
        registers_->raise(update.index, update.rank);
    } else {
        insert_sparse(h);
    }
}

void CardinalitySketch::insert_sparse(std::uint64_t h) {
    temp_set_.insert(sparse_code(h));
    // Tested after every insertion, new code or not.
    if (temp_set_.size() * 100 > kDenseSizeLimit) {
        merge_sparse();
    }
}

// ---- merge --------------------------------------------------------------------------

void CardinalitySketch::merge_sparse() {
    // An empty temp_set would rebuild the same list, and the dense form has none.
    if (registers_ || temp_set_.size() == 0) {
        return;
    }
    std::array<std::uint32_t, TempSet::kSlots> fresh;
    const std::size_t n = temp_set_.sorted_codes(fresh);
    temp_set_.clear();
    const std::span<const std::uint32_t> fresh_codes(fresh.data(), n);
    if (!merge_list(fresh_codes)) {
        turn_dense(fresh_codes);
    }
}

template <class Fresh>
bool CardinalitySketch::merge_list(const Fresh& fresh) {
    DifIntVec& spare = larger_spare();
    if (!DifIntVec::merge_into(sparse_, fresh, kDenseSizeLimit, spare)) {
        drop_spares();
        return false;
    }
    std::swap(sparse_, spare);
    drop_spares();
    return true;
}

template bool CardinalitySketch::merge_list(const std::span<const std::uint32_t>&);
template bool CardinalitySketch::merge_list(const DifIntVec&);

RegistersPlus CardinalitySketch::fresh_registers() {
    return RegistersPlus::zeroed(std::move(spare_words_));
}

// Applies every code of the list, the fresh codes and temp_set to new registers, and
// empties temp_set. Each code decodes to the register and rank of its hash, and raising is
// idempotent and order-free, so this gives the registers of dense insertion of the same keys.
void CardinalitySketch::turn_dense(std::span<const std::uint32_t> fresh_codes) {
    RegistersPlus registers = fresh_registers();
    auto apply = [&registers](std::uint32_t code) {
        const RegisterUpdate update = decode_code(code);
        registers.raise(update.index, update.rank);
    };
    sparse_.for_each(apply);
    for (std::uint32_t code : fresh_codes) {
        apply(code);
    }
    std::array<std::uint32_t, TempSet::kSlots> waiting;
    const std::size_t n = temp_set_.codes(waiting);
    for (std::size_t i = 0; i < n; ++i) {
        apply(waiting[i]);
    }
    temp_set_.clear();
    registers_ = std::move(registers);
    sparse_ = DifIntVec();
    drop_spares();
}

}  // namespace sketch
