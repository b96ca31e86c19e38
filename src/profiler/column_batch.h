// ColumnBatch: a batch gathered per column while it is read, the one form in which the
// engine takes input (KarvoEngine::process_columns). Every reader builds it as it goes: the
// Python row reader (pykit/row_walk.h), the JSON Lines reader (jsonl/) and the
// Arrow reader (arrow/).
//
// Each `ColumnPart` holds what the batch's cells of one column contribute, folded in batch
// order: the cell and null counts, the bounds, and the sketch keys in order. Applying a
// part to a record gives what applying its cells to it one by one would: counts add up,
// the bounds use strict comparisons (so the first of equal extreme values, 0.0 and -0.0,
// stays, as in the record), and the sketch takes the keys in the same order, less repeats
// that leave its state as it is (below).
//
// Gathering per column as the rows are read spares the batch a list of cells: a part
// keeps at most 8 bytes per keyed cell and nothing for the rest. A key that the part has
// just listed is not listed again (RecentKeys): a sketch's state depends only on the set
// of keys it has received, never on how often or in which order, so the sketch ends the
// same, and a column of few distinct values costs a few keys instead of one per cell.
//
// A part may also carry a summary part (summary_part.h), made when the engine keeps column
// summaries (ValueKeys::summaries) and absent otherwise, so that a profile without them
// pays one predictable test per cell. Readers hand add() the text of each text cell for it.
//
// Invariants: `names` and `parts` have equal length; names are distinct texts, borrowed
// until the engine call returns; parts are in the order their columns first appear.
//
// Thread safety: plain values; no shared state.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/mix64.h"
#include "profiler/summary_part.h"
#include "profiler/typed_value.h"

namespace profiler {

// The sketch keys of one part, in batch order and contiguous. The first key has a place
// inside the list, so that a call with a single row, one key per part, allocates nothing
// for them; appending costs one comparison either way.
//
// A long list (128 KiB and more) lives in pages mapped for it alone (key_list.cpp): it
// grows by remapping them, without copying the keys, and its pages go back to the system
// when it is freed, whichever thread made it. Left to the allocator, a list freed on a
// second thread stays cached in that thread's arena, resident for the life of the process.
class KeyList {
  public:
    KeyList() = default;
    KeyList(KeyList&& other) noexcept { take(other); }
    KeyList& operator=(KeyList&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    KeyList(const KeyList&) = delete;
    KeyList& operator=(const KeyList&) = delete;
    ~KeyList() { release(); }

    void push_back(std::uint64_t key) {
        if (end_ == limit_) {
            grow();
        }
        *end_++ = key;
    }
    // push_back(key) when `keep`, without a branch on it: the key is written past the end
    // either way and counted only when kept (a full list grows first either way).
    void push_back_if(std::uint64_t key, bool keep) {
        if (end_ == limit_) {
            grow();
        }
        *end_ = key;
        end_ += keep;
    }

    std::size_t size() const { return static_cast<std::size_t>(end_ - begin_); }
    operator std::span<const std::uint64_t>() const { return {begin_, size()}; }
    // Makes room for one more key, so that the next push cannot fail; throws bad_alloc
    // with the keys unchanged.
    void reserve_one() {
        if (end_ == limit_) [[unlikely]] {
            grow();
        }
    }
    // Makes room for `count` more keys, so that that many pushes cannot fail; throws
    // bad_alloc with the keys unchanged.
    void reserve_more(std::size_t count) {
        while (static_cast<std::size_t>(limit_ - end_) < count) {
            grow();
        }
    }
    // Whether the next push may grow the list, or brings it to `size` keys.
    bool full_or_at(std::size_t size) const {
        return end_ == limit_ || end_ == begin_ + size;
    }

  private:
    std::size_t capacity() const { return static_cast<std::size_t>(limit_ - begin_); }
    bool in_place() const { return begin_ == &inline_; }
    // Doubles the capacity (16 keys at least); throws bad_alloc.
    void grow();
    void release() noexcept {
        if (!in_place()) {
            free_block(begin_, capacity());
        }
    }
    static void free_block(std::uint64_t* block, std::size_t capacity) noexcept;

    // Takes other's keys and leaves it empty; a key stored in place is copied.
    void take(KeyList& other) {
        const std::size_t size = other.size();
        if (other.in_place()) {
            inline_ = other.inline_;
            begin_ = &inline_;
            limit_ = begin_ + 1;
        } else {
            begin_ = other.begin_;
            limit_ = other.limit_;
        }
        end_ = begin_ + size;
        other.begin_ = other.end_ = &other.inline_;
        other.limit_ = other.begin_ + 1;
    }

    std::uint64_t inline_ = 0;
    std::uint64_t* begin_ = &inline_;
    std::uint64_t* end_ = &inline_;
    std::uint64_t* limit_ = &inline_ + 1;
};

// The keys a part listed lately, to drop repeats before they are listed: a direct-mapped
// table of keys, each remembered in its home slot until another key takes the slot.
// Dropping a key that the part already lists changes no sketch (see above); the table
// only ever says "listed already" for a key it holds, and it holds listed keys only, so
// no key is lost whatever the input. Columns of a few values or a few hundred repeat most
// keys within the table's reach; a column of mostly distinct values fills the table in
// vain, so the table is given up when few of its first lookups hit.
//
// The table is made only once its part has listed kStartAfter keys, so that small batches
// (one row per call) allocate nothing for it. No slot needs an "empty" mark: every slot
// starts with a key whose home is another slot, which no lookup there can match.
class RecentKeys {
  public:
    static constexpr std::size_t kStartAfter = 64;

    // Whether `key` is among the keys listed lately; remembers it either way.
    // Hit or miss takes no branch: in a column of a few thousand values they alternate
    // in no order a predictor learns.
    bool repeats(std::uint64_t key) {
        if (slots_ == nullptr) {
            return false;
        }
        std::uint64_t& slot = slots_[common::mix_slot(key, kBits)];
        const bool hit = slot == key;
        slot = key;
        hits_ += hit;
        misses_ += !hit;
        // Decided when the misses reach the trial's count; hits that follow leave the
        // misses there and only add to the hits, so the decision never turns.
        if (misses_ == kTrialMisses && hits_ < kTrialMisses / 4) [[unlikely]] {
            slots_.reset();  // mostly distinct keys: the table would only cost a store each
        }
        return hit;
    }
    // Called once, when the part has listed kStartAfter keys; takes the table that
    // prepare made, if any.
    void start() {
        slots_ = spare_ ? std::move(spare_) : std::make_unique_for_overwrite<std::uint64_t[]>(kSlots);
        std::fill_n(slots_.get(), kSlots, kFiller);
        slots_[common::mix_slot(kFiller, kBits)] = kFillerAtItsHome;
    }
    // Makes the table that start will take, so that start cannot fail.
    void prepare() {
        if (!spare_) {
            spare_ = std::make_unique_for_overwrite<std::uint64_t[]>(kSlots);
        }
    }

  private:
    static constexpr unsigned kBits = 10;
    static constexpr std::size_t kSlots = std::size_t{1} << kBits;
    static constexpr std::size_t kTrialMisses = 2 * kSlots;
    static constexpr std::uint64_t kFiller = 0;
    // The first key after kFiller whose home is not kFiller's.
    static constexpr std::uint64_t kFillerAtItsHome = [] {
        std::uint64_t key = kFiller + 1;
        while (common::mix_slot(key, kBits) == common::mix_slot(kFiller, kBits)) {
            ++key;
        }
        return key;
    }();

    std::unique_ptr<std::uint64_t[]> slots_;  // null: not started, or given up
    std::unique_ptr<std::uint64_t[]> spare_;  // made by prepare, for start
    std::uint64_t hits_ = 0;
    std::uint64_t misses_ = 0;
};

// What a batch's cells of one column contribute. This is where the value rules read a
// cell: its numeric reading (an Int converted to the nearest double, ties to even, so
// integers beyond 2^53 lose their low bits; a Float as it is, NaN having none; a Str and a
// Null none) moves the bounds, and its sketch key (made by the cell's maker, typed_value.h)
// enters the sketch when the cell is a Str or has a numeric reading: Null and NaN never
// reach the sketch, text never touches the bounds.
class ColumnPart {
  public:
    // `text` is a Str cell's text (for the summary part; empty for other cells).
    void add(const Cell& cell, std::string_view text = {}) {
        if (summary != nullptr) {
            summary->add(cell, text);
        }
        const Facts facts = facts_of(cell);
        ++cells;
        nulls += facts.is_null;
        min = facts.low < min ? facts.low : min;
        max = facts.high > max ? facts.high : max;
        if (facts.has_key) {
            const bool repeat = recent_.repeats(facts.key);
            keys.push_back_if(facts.key, !repeat);
            if (keys.size() == RecentKeys::kStartAfter && !repeat) [[unlikely]] {
                recent_.start();
            }
        }
    }

    // Whether the next add may allocate: the key list is full, or its next key starts the
    // table of recent keys.
    bool needs_room() const { return keys.full_or_at(RecentKeys::kStartAfter - 1); }
    // Makes room for one more cell, so that the next add cannot fail; throws bad_alloc
    // having changed nothing that the part holds.
    void make_room_for_cell() {
        if (needs_room()) [[unlikely]] {
            keys.reserve_one();
            if (keys.size() + 1 == RecentKeys::kStartAfter) {
                recent_.prepare();
            }
        }
    }
    // Makes room for `count` more cells, so that that many adds cannot fail; throws
    // bad_alloc having changed nothing that counts (room made stays).
    void make_room_for_cells(std::size_t count) {
        keys.reserve_more(count);
        const std::size_t size = keys.size();
        if (size < RecentKeys::kStartAfter && size + count >= RecentKeys::kStartAfter) {
            recent_.prepare();
        }
    }

    std::uint64_t cells = 0;
    std::uint64_t nulls = 0;
    double min = std::numeric_limits<double>::infinity();   // +inf: no numeric value yet
    double max = -std::numeric_limits<double>::infinity();  // -inf: no numeric value yet
    KeyList keys;  // sketch keys, batch order; a key listed lately is not listed again
    std::unique_ptr<SummaryPart> summary;  // null: the engine keeps no summary

  private:
    RecentKeys recent_;

    // What one cell gives, worked out without a branch on its tag (the cells of a batch
    // mix types, so such a branch is often mispredicted). A cell with no numeric reading
    // bounds with infinities, which never replace a bound, since bounds start there.
    struct Facts {
        double low;   // its numeric reading, or +inf
        double high;  // its numeric reading, or -inf
        std::uint64_t key;
        bool has_key;
        std::uint64_t is_null;  // 0 or 1
    };

    static Facts facts_of(const Cell& cell) {
        const bool is_int = cell.tag == Tag::Int;
        const bool is_str = cell.tag == Tag::Str;
        const double as_int = static_cast<double>(static_cast<std::int64_t>(cell.payload));
        const double as_float = std::bit_cast<double>(cell.payload);
        const double x = is_int ? as_int : as_float;
        // An Int, or a Float that is not NaN.
        const bool numeric = is_int || (cell.tag == Tag::Float && as_float == as_float);
        constexpr double kInf = std::numeric_limits<double>::infinity();
        return Facts{numeric ? x : kInf, numeric ? x : -kInf, cell.key, is_str || numeric,
                     static_cast<std::uint64_t>(cell.tag == Tag::Null)};
    }
};

// Grows `parts` to `size` parts, each new one with a summary part when `keys` say the
// engine keeps summaries. Throws bad_alloc with `parts` as they were.
inline void resize_parts(std::vector<ColumnPart>& parts, std::size_t size, const ValueKeys& keys) {
    const std::size_t old_size = parts.size();
    if (size <= old_size) {
        return;
    }
    parts.resize(size);
    if (!keys.summaries) {
        return;
    }
    try {
        for (std::size_t i = old_size; i < size; ++i) {
            parts[i].summary = std::make_unique<SummaryPart>();
        }
    } catch (...) {
        parts.resize(old_size);
        throw;
    }
}

struct ColumnBatch {
    std::vector<std::string_view> names;
    std::vector<ColumnPart> parts;
};

}  // namespace profiler
