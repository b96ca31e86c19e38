#include "sketch/cardinality_sketch.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

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

void TempSet::drain_into(std::vector<std::uint32_t>& out) {
    for (std::uint32_t code : slots_) {
        if (code != kFree) {
            out.push_back(code);
        }
    }
    clear();
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

namespace {

// Runs at least this long take the gathered path; a shorter one empties temp_set at most
// once, so one key at a time costs no more.
constexpr std::size_t kSparseRunMin = kTempSetTrigger;
// Gathered codes are merged into the list when this many are waiting: the sort stays in
// cache, and the pass over the list is spread over thousands of codes.
constexpr std::size_t kPendingLimit = 8192;

// Sorts codes ascending in four passes of a byte each, in time linear in their number:
// on a run of repeated values std::sort took most of insert_many's time. An even number
// of passes leaves the codes in their own buffer, with its capacity.
void radix_sort(std::vector<std::uint32_t>& codes) {
    constexpr unsigned kDigitBits = 8;
    constexpr std::uint32_t kDigitMask = (1u << kDigitBits) - 1;
    std::vector<std::uint32_t> scratch(codes.size());
    for (unsigned shift = 0; shift < 32; shift += kDigitBits) {
        std::array<std::uint32_t, kDigitMask + 1> starts{};
        for (std::uint32_t code : codes) {
            ++starts[(code >> shift) & kDigitMask];
        }
        std::uint32_t total = 0;
        for (std::uint32_t& start : starts) {
            total += std::exchange(start, total);
        }
        for (std::uint32_t code : codes) {
            scratch[starts[(code >> shift) & kDigitMask]++] = code;
        }
        codes.swap(scratch);
    }
}

}  // namespace

void CardinalitySketch::insert_many(std::span<const std::uint64_t> keys) {
    std::size_t i = 0;
    if (!registers_ && keys.size() >= kSparseRunMin) {
        i = insert_sparse_run(keys);
    }
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

// Inserts the keys in the sparse form as insert_sparse would, with the same temp_set and
// the same points at which it is emptied, but collects the codes emptied out in `pending`
// instead of merging each handful into the list; returns how many keys it inserted (all
// unless the sketch turned dense).
//
// Why this is the same: the list at any point is the old list joined with every code
// emptied out so far, whatever the grouping, and its encoding depends only on that set.
// Adding codes never shortens an encoding, so if the joined set fits the byte limit, so
// did every merge one at a time would have made; if it does not, one of those merges,
// in this stretch of keys, turned the sketch dense (see merge_pending).
std::size_t CardinalitySketch::insert_sparse_run(std::span<const std::uint64_t> keys) {
    std::vector<std::uint32_t> pending;
    pending.reserve(std::min(keys.size(), kPendingLimit) + kTempSetTrigger);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        temp_set_.insert(sparse_code(siphash13(value_key_, keys[i])));
        if (temp_set_.size() * 100 <= kDenseSizeLimit) {
            continue;
        }
        temp_set_.drain_into(pending);
        if (pending.size() >= kPendingLimit && !merge_pending(pending)) {
            return i + 1;  // dense from here on, as after merge_sparse
        }
    }
    merge_pending(pending);
    return keys.size();
}

// Merges the pending codes into the list and empties `pending`; false if the result
// passes the byte limit, in which case the sketch turns dense. One-at-a-time insertion
// would have turned dense at some earlier emptying of temp_set in the same stretch, and
// inserted every later key densely; a code decodes to its hash's register and rank, so
// applying the list, the pending codes and what temp_set holds now gives the same
// registers, with temp_set empty.
bool CardinalitySketch::merge_pending(std::vector<std::uint32_t>& pending) {
    if (pending.empty()) {
        return true;
    }
    radix_sort(pending);
    pending.erase(std::unique(pending.begin(), pending.end()), pending.end());
    std::optional<DifIntVec> merged = DifIntVec::merge(sparse_, pending, kDenseSizeLimit);
    if (merged) {
        // The merge sized the buffer for five bytes a code, up to the byte limit; mostly
        // repeats fill little of it, and a column that stays sparse keeps its list.
        sparse_ = std::move(*merged);
        sparse_.shrink_to_fit();
        pending.clear();
        return true;
    }
    temp_set_.drain_into(pending);
    turn_dense(pending);
    pending.clear();
    return false;
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
