#include "sketch/run_insertion.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "hash/siphash_many.h"
#include "sketch/cardinality_sketch.h"

namespace sketch {

namespace detail {

namespace {

// How many distinct gathered codes may wait before the next merge, for a list of `listed`
// codes.
std::size_t codes_before_merge(std::uint64_t listed) {
    if (listed >= kLikelyDense) {
        return kDenseCheckStep;
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(
        kGatheredLimit, std::max<std::uint64_t>(kLikelyDense - listed, kDenseCheckStep)));
}

// Sorts codes ascending in four passes of a byte each, in time linear in their number.
// An even number of passes leaves the codes in their own buffer.
void radix_sort(std::vector<std::uint32_t>& codes, std::vector<std::uint32_t>& scratch) {
    constexpr unsigned kDigitBits = 8;
    constexpr std::uint32_t kDigitMask = (1u << kDigitBits) - 1;
    static_assert((32 / kDigitBits) % 2 == 0, "the sorted codes end in `codes`, not `scratch`");
    scratch.resize(codes.size());
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

std::span<const std::uint32_t> GatheredCodes::take_sorted() {
    sorted_.resize(table_.size() + 1);
    sorted_.resize(table_.copy_taken(sorted_.data(), [](std::uint32_t code) { return code; }));
    table_.clear();
    if (!insertion_sort(sorted_, kMovesPerCode * sorted_.size())) {
        radix_sort(sorted_, scratch_);
    }
    return sorted_;
}

bool GatheredCodes::insertion_sort(std::vector<std::uint32_t>& codes, std::size_t budget) {
    std::size_t moves = 0;
    for (std::size_t i = 1; i < codes.size(); ++i) {
        const std::uint32_t code = codes[i];
        std::size_t j = i;
        for (; j > 0 && codes[j - 1] > code; --j) {
            codes[j] = codes[j - 1];
        }
        codes[j] = code;
        moves += i - j;
        if (moves > budget) {
            return false;
        }
    }
    return true;
}

RunTempSet::RunTempSet(TempSet& temp_set) {
    std::array<std::uint32_t, TempSet::kSlots> codes;
    const std::size_t n = temp_set.codes(codes);
    temp_set.clear();
    for (std::size_t i = 0; i < n; ++i) {
        insert(codes[i]);
    }
}

void RunTempSet::give_back(TempSet& temp_set) const {
    for (std::uint32_t code : codes()) {
        temp_set.insert(code);
    }
}

}  // namespace detail

void CardinalitySketch::insert_many(std::span<const std::uint64_t> keys) {
    detail::RunHasher hasher(value_key_);
    std::size_t i = 0;
    if (!registers_ && keys.size() >= detail::kSparseRunMin) {
        i = insert_sparse_run(keys, hasher);
    }
    for (; i < keys.size() && !registers_; ++i) {
        insert_sparse(hash::siphash13(value_key_, keys[i]));
    }
    if (i < keys.size()) {
        insert_dense_run(keys.subspan(i), hasher);
    }
}

void CardinalitySketch::insert_dense_run(std::span<const std::uint64_t> keys,
                                         detail::RunHasher& hasher) {
    RegistersPlus& registers = *registers_;
    std::array<std::uint64_t, detail::RunHasher::kBlock> hashes;
    for (std::size_t start = 0; start < keys.size(); start += hashes.size()) {
        const std::size_t n = std::min(hashes.size(), keys.size() - start);
        hasher.hash_block(keys.data() + start, n, hashes.data());
        for (std::size_t j = 0; j < n; ++j) {
            const RegisterUpdate update = dense_update(hashes[j]);
            registers.raise(update.index, update.rank);
        }
    }
}

// Inserts the keys in the sparse form as insert_sparse would, with the same temp_set and
// the same points at which it is emptied, but gathers the codes emptied out instead of
// merging each handful into the list; returns how many keys it inserted (all unless the
// sketch turned dense).
//
// Why this is the same: the list at any point is the old list joined with every code
// emptied out so far, whatever the grouping, and its encoding depends only on that set.
// Adding codes never shortens an encoding, so if the joined set fits the byte limit, so
// did every merge one at a time would have made; if it does not, one of those merges,
// in this stretch of keys, turned the sketch dense (see merge_gathered).
//
// The gathered codes' table is allocated before anything changes; when it cannot be had,
// this inserts nothing and the caller inserts one key at a time, which gives the same
// sketch and, under a reservation, allocates nothing.
std::size_t CardinalitySketch::insert_sparse_run(std::span<const std::uint64_t> keys,
                                                 detail::RunHasher& hasher) {
    std::optional<detail::GatheredCodes> made;
    try {
        made.emplace(keys.size());
    } catch (const std::bad_alloc&) {
        return 0;
    }
    detail::GatheredCodes& gathered = *made;
    detail::RunTempSet waiting(temp_set_);
    std::size_t merge_at = detail::codes_before_merge(sparse_.entry_count());
    std::array<std::uint64_t, detail::RunHasher::kBlock> hashes;
    for (std::size_t start = 0; start < keys.size(); start += hashes.size()) {
        const std::size_t n = std::min(hashes.size(), keys.size() - start);
        hasher.hash_block(keys.data() + start, n, hashes.data());
        for (std::size_t j = 0; j < n; ++j) {
            // Only a new code can bring temp_set to the trigger.
            if (!waiting.insert(sparse_code(hashes[j])) ||
                waiting.size() * 100 <= kDenseSizeLimit) {
                continue;
            }
            for (std::uint32_t code : waiting.codes()) {
                gathered.add(code);
            }
            waiting.clear();
            if (gathered.size() < merge_at && gathered.room() >= kTempSetTrigger) {
                continue;
            }
            // temp_set is empty here, as after every emptying.
            if (!merge_gathered(gathered)) {
                return start + j + 1;  // dense from here on, as after merge_sparse
            }
            merge_at = detail::codes_before_merge(sparse_.entry_count());
        }
    }
    waiting.give_back(temp_set_);
    merge_gathered(gathered);
    return keys.size();
}

// Merges the gathered codes into the list and empties the set; false if the result
// passes the byte limit, in which case the sketch turns dense. One-at-a-time insertion
// would have turned dense at some earlier emptying of temp_set in the same stretch, and
// inserted every later key densely; a code decodes to its hash's register and rank, so
// applying the list, the gathered codes and what temp_set holds now gives the same
// registers.
bool CardinalitySketch::merge_gathered(detail::GatheredCodes& gathered) {
    if (gathered.size() == 0) {
        return true;
    }
    const std::span<const std::uint32_t> codes = gathered.take_sorted();
    // The merge sizes the buffer for five bytes a code, up to the byte limit; mostly
    // repeats fill little of it, and the room beyond the codes is given back once no
    // reservation needs it (drop_spares).
    if (merge_list(codes)) {
        return true;
    }
    turn_dense(codes);
    return false;
}

}  // namespace sketch
