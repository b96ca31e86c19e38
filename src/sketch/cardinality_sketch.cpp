#include "sketch/cardinality_sketch.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/mix64.h"
#include "sketch/siphash.h"
#include "sketch/siphash_many.h"

namespace sketch {

// ---- temp_set -----------------------------------------------------------------------

namespace detail {

namespace {

// Codes without a rank lie below 2^26 (a rank-carrying code, one in about two thousand,
// lies above). The home slot of a code in a table of 2^bits slots that follow code order:
// its top bits below 2^26, the rank-carrying codes sharing the last slot.
constexpr unsigned kCodeBits = 26;
std::size_t code_order_slot(std::uint32_t code, unsigned bits) {
    return std::min<std::size_t>(code >> (kCodeBits - bits), (std::size_t{1} << bits) - 1);
}

}  // namespace

std::size_t TempSet::codes(std::array<std::uint32_t, kSlots>& out) const {
    // A table of kSlots holds at most kTempSetTrigger codes, so out has room to spare.
    return table_.copy_taken(out.data(), [](std::uint32_t code) { return code; });
}

std::size_t TempSet::sorted_codes(std::array<std::uint32_t, kSlots>& out) const {
    const std::size_t n = codes(out);
    std::sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
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
// Gathered codes are merged into the list when this many distinct ones are waiting: the
// sort stays in cache, and the pass over the list is spread over thousands of codes.
constexpr std::size_t kGatheredLimit = 8192;
// Random codes pass the byte limit at about 5,850 (two or three bytes each, a spread of a
// few dozen), so a run of distinct values checks here, and at every further step, whether
// its list still fits. Checking a little past the usual switch means the first check of a
// fresh column nearly always fails at once (see DifIntVec::merge) instead of writing out a
// list that the next step would find too long.
constexpr std::uint64_t kLikelyDense = 6144;
constexpr std::size_t kDenseCheckStep = 1024;

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

namespace detail {

// The SipHash values of one insert_many run, a block at a time, so that the keys of a block
// are hashed side by side (see siphash_many.h).
//
// A long run also remembers the hashes of recent keys in a direct-mapped table, since
// columns of a few categories or a few thousand repeat each value many times and a repeat
// then costs one load instead of five SipHash rounds. Every slot starts as key 0 with its
// true hash, so a slot needs no "empty" mark, and a lookup is one comparison. Keys that
// share a slot only take it from each other: the cost of any input stays at most one
// hash per key.
class RunHasher {
  public:
    static constexpr std::size_t kBlock = 16;

    RunHasher(SipKey key, std::size_t run_length) : key_(key) {
        if (run_length >= kMemoMinRun) {
            memo_ = Memo(kMemoSlots, MemoSlots{{0, siphash13(key_, 0)}});
        }
    }

    // The hashes of keys[0, n) into out[0, n); n is at most kBlock.
    void hash_block(const std::uint64_t* keys, std::size_t n, std::uint64_t* out) {
        if (memo_.slot_count() == 0) {
            siphash13_many(key_, {keys, n}, {out, n});
            return;
        }
        // Look every key up first, then hash the ones missed together.
        std::array<std::uint64_t, kBlock> missed_keys;
        std::array<std::uint64_t, kBlock> missed_hashes;
        std::array<std::uint8_t, kBlock> missed_at;
        std::size_t missed = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const MemoSlots::Slot& remembered = memo_[memo_slot(keys[i])];
            if (remembered.key == keys[i]) {
                out[i] = remembered.hash;
            } else {
                missed_keys[missed] = keys[i];
                missed_at[missed++] = static_cast<std::uint8_t>(i);
            }
        }
        siphash13_many(key_, {missed_keys.data(), missed}, {missed_hashes.data(), missed});
        for (std::size_t j = 0; j < missed; ++j) {
            memo_.set(memo_slot(missed_keys[j]), {missed_keys[j], missed_hashes[j]});
            out[missed_at[j]] = missed_hashes[j];
        }
        hits_ += n - missed;
        looked_up_ += n;
        if (looked_up_ >= kMemoTrial && hits_ * 4 < looked_up_) {
            // Mostly distinct keys: the table only adds a store to every hash.
            memo_ = {};
        }
    }

  private:
    static constexpr unsigned kMemoBits = 12;
    static constexpr std::size_t kMemoSlots = std::size_t{1} << kMemoBits;
    // Filling the table costs about as much as hashing a few hundred keys.
    static constexpr std::size_t kMemoMinRun = 4096;
    // The table is dropped if fewer than a quarter of this many first keys were repeats.
    static constexpr std::size_t kMemoTrial = 1024;
    static_assert(kBlock <= 256, "a block's missed keys are placed by an 8-bit index");

    // A direct-mapped memo: a key is remembered in its home slot only, and a miss takes
    // the slot over. No slot is ever free: an unused one holds key 0 with its true hash.
    struct MemoSlots {
        struct Slot {
            std::uint64_t key;
            std::uint64_t hash;
        };
        Slot unused;
        bool is_free(const Slot&) const { return false; }
        void clear(std::span<Slot> slots) { std::fill(slots.begin(), slots.end(), unused); }
    };
    using Memo = common::ProbeTable<MemoSlots>;

    static std::size_t memo_slot(std::uint64_t key) { return common::mix_slot(key, kMemoBits); }

    SipKey key_;
    Memo memo_;  // without slots when the run is too short to remember
    std::size_t looked_up_ = 0;
    std::size_t hits_ = 0;
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
class GatheredCodes {
  public:
    explicit GatheredCodes(std::size_t run_length)
        : homes_(homes_for(run_length)),
          home_bits_(static_cast<unsigned>(std::countr_zero(homes_))),
          table_(homes_ + kTailSlots) {}

    // Adds a code; there must be room.
    void add(std::uint32_t code) {
        table_.insert(code_order_slot(code, home_bits_), code,
                      [code](std::uint32_t taken) { return taken == code; });
    }

    std::size_t size() const { return table_.size(); }
    std::size_t room() const { return homes_ / 2 - table_.size(); }

    // The codes ascending, each once; valid until the next call. The set is empty after.
    std::span<const std::uint32_t> take_sorted() {
        sorted_.resize(table_.size() + 1);
        sorted_.resize(table_.copy_taken(sorted_.data(), [](std::uint32_t code) { return code; }));
        table_.clear();
        if (!insertion_sort(sorted_, kMovesPerCode * sorted_.size())) {
            radix_sort(sorted_, scratch_);
        }
        return sorted_;
    }

  private:
    static constexpr std::size_t kMinHomes = 512;
    static constexpr std::size_t kMaxHomes = 2 * kGatheredLimit;
    static constexpr std::size_t kTailSlots = 64;
    static constexpr std::size_t kMovesPerCode = 4;

    // Room for every key of a short run; a long one merges when the table is half full.
    static std::size_t homes_for(std::size_t run_length) {
        return std::clamp(std::bit_ceil(2 * run_length), kMinHomes, kMaxHomes);
    }

    // Sorts nearly sorted codes; false, leaving them in some order, if that took more than
    // `budget` moves.
    static bool insertion_sort(std::vector<std::uint32_t>& codes, std::size_t budget) {
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
    explicit RunTempSet(TempSet& temp_set) {
        std::array<std::uint32_t, TempSet::kSlots> codes;
        const std::size_t n = temp_set.codes(codes);
        temp_set.clear();
        for (std::size_t i = 0; i < n; ++i) {
            insert(codes[i]);
        }
    }

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
    void give_back(TempSet& temp_set) const {
        for (std::uint32_t code : codes()) {
            temp_set.insert(code);
        }
    }

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

}  // namespace detail

void CardinalitySketch::insert_many(std::span<const std::uint64_t> keys) {
    detail::RunHasher hasher(value_key_, keys.size());
    std::size_t i = 0;
    if (!registers_ && keys.size() >= kSparseRunMin) {
        i = insert_sparse_run(keys, hasher);
    }
    for (; i < keys.size() && !registers_; ++i) {
        insert_sparse(siphash13(value_key_, keys[i]));
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
std::size_t CardinalitySketch::insert_sparse_run(std::span<const std::uint64_t> keys,
                                                 detail::RunHasher& hasher) {
    detail::GatheredCodes gathered(keys.size());
    detail::RunTempSet waiting(temp_set_);
    std::size_t merge_at = codes_before_merge(sparse_.entry_count());
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
            merge_at = codes_before_merge(sparse_.entry_count());
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
    std::optional<DifIntVec> merged = DifIntVec::merge(sparse_, codes, kDenseSizeLimit);
    if (merged) {
        // The merge sized the buffer for five bytes a code, up to the byte limit; mostly
        // repeats fill little of it, and a column that stays sparse keeps its list.
        sparse_ = std::move(*merged);
        sparse_.shrink_to_fit();
        return true;
    }
    turn_dense(codes);
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

// Applies every code of the list, the fresh codes and temp_set to new registers, and
// empties temp_set. Each code decodes to the register and rank of its hash, and raising is
// idempotent and order-free, so this gives the registers of dense insertion of the same keys.
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
    std::array<std::uint32_t, detail::TempSet::kSlots> waiting;
    const std::size_t n = temp_set_.codes(waiting);
    for (std::size_t i = 0; i < n; ++i) {
        apply(waiting[i]);
    }
    temp_set_.clear();
    registers_ = std::move(registers);
    sparse_ = DifIntVec();
}

}  // namespace sketch
