#include "sketch/cardinality_sketch.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "sketch/siphash.h"

namespace sketch {

// ---- temp_set -----------------------------------------------------------------------

namespace detail {

std::size_t TempSet::sorted_codes(std::array<std::uint32_t, kSlots>& out) const {
    // Without a branch per slot: half of them are free, at random.
    std::size_t n = 0;
    for (std::uint32_t code : slots_) {
        out[n] = code;
        n += code != kFree ? 1 : 0;
    }
    std::sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void TempSet::clear() {
    slots_.fill(kFree);
    size_ = 0;
}

}  // namespace detail

// ---- creation -----------------------------------------------------------------------

CardinalitySketch::Keys CardinalitySketch::draw_keys() {
    // Two statements, so that value_key is certainly the first draw.
    Keys keys;
    keys.value_key = draw_key();
    keys.temp_set_key = draw_key();
    return keys;
}

CardinalitySketch::CardinalitySketch() : CardinalitySketch(draw_keys()) {}

CardinalitySketch::CardinalitySketch(Keys keys)
    : CardinalitySketch(keys.value_key, keys.temp_set_key) {}

CardinalitySketch::CardinalitySketch(SipKey value_key, SipKey temp_set_key)
    : value_key_(value_key), temp_set_(temp_set_key) {}

// ---- insertion ----------------------------------------------------------------------

void CardinalitySketch::insert(std::uint64_t key) {
    insert_hash(siphash13(value_key_, key));
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

void CardinalitySketch::insert_many(std::span<const std::uint64_t> keys) {
    std::size_t i = 0;
    for (; i < keys.size() && !registers_; ++i) {
        insert_sparse(siphash13(value_key_, keys[i]));
    }
    if (i < keys.size()) {
        insert_dense_run(keys.subspan(i));
    }
}

void CardinalitySketch::insert_dense_run(std::span<const std::uint64_t> keys) {
    // Hashing a block before touching the registers lets the processor overlap the
    // independent hash chains instead of waiting on each register update.
    constexpr std::size_t kBlock = 8;
    RegistersPlus& registers = *registers_;
    std::array<std::uint64_t, kBlock> hashes;
    std::size_t i = 0;
    for (; i + kBlock <= keys.size(); i += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) {
            hashes[j] = siphash13(value_key_, keys[i + j]);
        }
        for (std::uint64_t h : hashes) {
            const RegisterUpdate update = dense_update(h);
            registers.raise(update.index, update.rank);
        }
    }
    for (; i < keys.size(); ++i) {
        const RegisterUpdate update = dense_update(siphash13(value_key_, keys[i]));
        registers.raise(update.index, update.rank);
    }
}

// ---- merge --------------------------------------------------------------------------

void CardinalitySketch::merge_sparse() {
    // An empty temp_set would rebuild the same list, and the dense form has none.
    if (registers_ || temp_set_.size() == 0) {
        return;
    }
    std::array<std::uint32_t, detail::TempSet::kSlots> fresh;
    const std::size_t n = temp_set_.sorted_codes(fresh);
    temp_set_.clear();
    const std::span<const std::uint32_t> fresh_codes(fresh.data(), n);
    std::optional<DifIntVec> merged = DifIntVec::merge(sparse_, fresh_codes, kDenseSizeLimit);
    if (merged) {
        sparse_ = std::move(*merged);
    } else {
        turn_dense(fresh_codes);
    }
}

// Applies every code of the union of the list and the fresh codes to new registers. Each
// code decodes to the register and rank of its hash, and raising is idempotent and
// order-free, so this gives the registers of dense insertion of the same keys.
void CardinalitySketch::turn_dense(std::span<const std::uint32_t> fresh_codes) {
    RegistersPlus registers = RegistersPlus::with_count(kRegisterCount);
    auto apply = [&registers](std::uint32_t code) {
        const RegisterUpdate update = decode_code(code);
        registers.raise(update.index, update.rank);
    };
    sparse_.for_each(apply);
    for (std::uint32_t code : fresh_codes) {
        apply(code);
    }
    registers_ = std::move(registers);
    sparse_ = DifIntVec();
}

}  // namespace sketch
