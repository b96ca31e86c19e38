// TopValues: a mergeable summary of a column's most frequent values (heavy hitters), with
// at most kCapacity = 64 entries, each a 64-bit key, an upper estimate `count`, an `error`
// such that the key's true count lies in [count - error, count], and a representative.
//
// What it owns: the entries, an index from key to entry, the eviction order (once full:
// buckets of equal counts, see count_order.cpp) and one arena for the representatives'
// texts. What it must not know: where keys come from. The caller hashes each value under
// its value rules (1, 1.0 and True are one value, one key) and gives the key; keys are
// taken as they are, never re-hashed, and the summary never sees a value's preimage, only
// the representative it is handed. It knows nothing of Python, profiles or other sketches.
//
// Algorithm: SpaceSaving (Metwally, Agrawal, El Abbadi, ICDT 2005). A hit adds one to its
// entry. A new key is added with count 1, error 0 while there is room; once 64 keys are
// held, it takes over an entry of least count, with count = that count + 1 and error =
// that count. Among equal least counts the one that reached its count first goes (the
// eviction order: ascending (count, key) when the summary fills or is merged, then moved
// by arrival; stored with the state). Each value costs O(1): an index probe, and on a
// full summary a move between count buckets (the "stream summary" of the same paper).
// Why SpaceSaving and not Misra-Gries: the two are isomorphic (Agarwal et al., "Mergeable
// Summaries", PODS 2012: MG with k - 1 counters is SS with k), so their guarantees are
// alike, but SpaceSaving's per-entry error is the floor the entry came in over, not the
// global decrement total: on skewed data the heavy keys come in early and keep error 0.
// Measured (bench/top_values.cpp, 10^7 values, both with 64 entries): on Zipf(1.1) the
// 6 heaviest keys come out exact here and with intervals 120,826 wide from Misra-Gries;
// hits cost both about 3 ns; misses cost Misra-Gries less (one decrement pass per 64 of
// them, against an index erase and insert each here): Zipf(1.1) 24 against 12 ns per
// value, all keys distinct 25 against 8. The report shows counts, so tightness decides.
//
// Merge (after Cafaro, Pulimeno, Tempesta, "A parallel space saving algorithm", 2016, with
// a tighter floor): each summary keeps `floor`, the largest count an entry had when it was
// dropped (0 while nothing was dropped), so a key it does not hold occurred at most
// `floor` times in its values. Merging A and B gives every key of either the sum of its
// two intervals, an absent side contributing [0, floor]: count = cA + cB, error = eA + eB,
// where an absent side gives c = e = floor. The 64 largest (count, then lowest key) stay;
// the new floor is max(floorA + floorB, largest count dropped). N adds up. The eviction
// order of the result: ascending count, then A's keys in A's order, then B's in B's.
//
// Invariants (every state, including one read back; the reader checks each):
//  I1 entries <= 64, keys distinct; every entry has error < count (at least one true
//     occurrence), error <= floor;
//  I2 sum of counts <= N (equal while no merge truncated anything);
//  I3 fewer than 64 entries or floor == 0: nothing was ever dropped, so every error is 0
//     and the counts sum to N exactly (counts are exact while at most 64 keys were seen);
//  I4 64 entries: floor <= the least count.
// Guarantees, proof sketch:
//  G1 true count in [count - error, count] for every entry: an update adds one to both
//     ends' truths; a takeover's new key occurred at most `floor` = the dropped count
//     times before (the dropped entry had the least count, which is at least floor by I4);
//     a merge adds two valid intervals, an absent side's lying in [0, floor] by the
//     definition of floor.
//  G2 a key not held occurred at most floor <= N / 64 times, so every key with true count
//     above N / 64 is held: floor is 0 unless the summary is full (I3), then at most the
//     least of its 64 counts (I4), which is at most their mean, at most N / 64 (I2).
//     Keeping I2 through a merge: each kept key's count is its A part plus its B part;
//     the A parts of kept keys that A holds are distinct counts of A, and each kept key
//     that A does not hold contributes floorA, which is 0 unless A is full and then (I4)
//     at most the count of one more A entry that was not kept; so the A parts sum to at
//     most A's counts, at most NA (I2), and likewise for B. Keeping I4: every candidate's
//     count is at least floorA + floorB, and a dropped count at most a kept one.
//  G3 determinism: the state is a pure function of the sequence of updates and merges.
//     Ties go to the lower key in merge and in top(), and to arrival order (itself a
//     function of that sequence) in eviction; the index layout, addresses and the
//     arena's order never decide anything.
//
// Representatives: a number keeps the double of the key's first occurrence since it last
// came in; a text keeps its first 256 code points (cut on code point boundaries; input is
// valid UTF-8). A representative is built only when its key comes in (update_many asks
// for it through a callback), so a hit copies nothing. In a merge a key held on both sides
// keeps this summary's representative: its values count as coming first.
//
// Memory (measured by memory_bytes() and text_bytes(); the summary allocates as keys come
// in): the object itself 136 bytes; 40 bytes per entry slot (the entry vector doubles:
// 1, 2, 4, ..., 64); an index of one byte per slot, at most a quarter full (4 to 256
// slots: short probe runs, since on a stream of new keys every value probes, erases and
// inserts); once full, 64 buckets of 4 bytes. So an empty column takes 136 bytes, a
// column of 1 value 180; of 100 values with k distinct keys, 136 + 40 * 2^ceil(log2 k)
// + index, at most 2952 bytes; any column with 64 or more distinct keys (10^4 or 10^7
// values, say) 3208 bytes. Texts aside: they take at most 1024 bytes each (256 code
// points of 4 bytes); the arena is compacted before its used bytes pass twice the live
// ones plus 5 KB (text_bytes() gives its capacity, at most twice that).
//
// Stored form (write/read): see stored_form.cpp; canonical (entries in eviction order,
// which is part of the state), and read() refuses anything that breaks I1 to I4.
//
// Thread safety: none of its own; the owner serialises every call. No operation takes a
// lock; a const summary may be read (top, write, merge's argument) from several threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/mix64.h"
#include "common/byte_io.h"

namespace top_values {

// The stored form's fields and its error are those of every stored piece (common/byte_io.h).
using common::ByteReader;
using common::ByteWriter;
using FormatError = common::FormatError;

inline constexpr std::size_t kCapacity = 64;
// The longest text representative, in code points, and so in bytes at most four times it.
inline constexpr std::size_t kMaxTextCodePoints = 256;
inline constexpr std::size_t kMaxTextBytes = 4 * kMaxTextCodePoints;

enum class Kind : std::uint8_t { kNumber = 1, kText = 2 };

// What a key stands for. A text is viewed, not owned: the summary copies (and cuts) it only
// when the key comes in.
struct Representative {
    Kind kind = Kind::kNumber;
    double number = 0.0;
    std::string_view text;

    static Representative of_number(double v) { return {Kind::kNumber, v, {}}; }
    static Representative of_text(std::string_view t) { return {Kind::kText, 0.0, t}; }
};

struct Item {
    std::uint64_t key;
    Representative representative;
};

// One line of top(): the text views the summary's arena and stays valid until the summary
// next changes.
struct TopEntry {
    std::uint64_t key;
    std::uint64_t count;  // upper estimate
    std::uint64_t error;  // true count in [count - error, count]
    Representative representative;
};

// The first code points of valid UTF-8 text, at most `limit` of them, cut on a boundary.
std::string_view cut_text(std::string_view text, std::size_t limit = kMaxTextCodePoints);

class TopValues {
  public:
    TopValues() = default;

    // Failures: update and merge either succeed or throw leaving the summary as it was
    // (std::bad_alloc while storing a new key; std::overflow_error as below); update_many
    // throws the same way at the value that failed, the values before it counted.
    void update(std::uint64_t key, const Representative& representative) {
        update_with(key, [&] { return representative; });
    }
    // make_representative() is called only when the key is new to the summary.
    template <class MakeRepresentative>
    void update_with(std::uint64_t key, MakeRepresentative&& make_representative);

    // The same as update() of each in turn; representative_of(i) is called only when
    // keys[i] is new. Throws std::overflow_error, changing nothing, if N would pass 2^64-1.
    template <class RepresentativeOf>
    void update_many(std::span<const std::uint64_t> keys, RepresentativeOf&& representative_of);
    void update_many(std::span<const Item> items);

    // Adds other's values as if they came after this summary's; other may be *this.
    // Throws std::overflow_error, changing nothing, if N would pass 2^64-1.
    void merge(const TopValues& other);

    // At most n entries by count descending, then key ascending.
    std::vector<TopEntry> top(std::size_t n) const;

    std::uint64_t total() const { return total_; }  // N, the values seen
    std::uint64_t floor() const { return floor_; }  // the most an absent key occurred
    std::size_t size() const { return entries_.size(); }

    // Bytes held, texts aside, and the text arena's bytes.
    std::size_t memory_bytes() const;
    std::size_t text_bytes() const { return arena_.capacity(); }

    void write(ByteWriter& out) const;
    // Throws FormatError for a form this summary could never be in.
    static TopValues read(ByteReader& in);

  private:
    struct Entry {
        std::uint64_t key;
        std::uint64_t count;
        std::uint64_t error;
        std::uint64_t payload;  // a number's bits, or a text's arena offset | length << 32
        Kind kind;
        // Once full: the entry's bucket and its neighbours there, in arrival order.
        std::uint8_t bucket;
        std::uint8_t prev;
        std::uint8_t next;
        std::uint8_t slot;  // its slot in index_
        std::uint8_t home;  // its key's home slot in index_, kept so that erasing from the
                            // index need not hash the keys it moves (padding: no bytes more)
    };
    // The entries of one count, first come first; buckets in ascending count. The bucket's
    // count is that of its entries.
    struct Bucket {
        std::uint8_t first;
        std::uint8_t last;
        std::uint8_t prev;
        std::uint8_t next;
    };
    static constexpr std::uint8_t kFreeSlot = 0xFF;
    static constexpr std::uint8_t kNone = 0xFF;

    // Throws std::overflow_error unless n more values keep N within 64 bits.
    void reserve_values(std::size_t n) const;
    template <class MakeRepresentative>
    void update_one(std::uint64_t key, MakeRepresentative&& make_representative);
    bool full() const { return entries_.size() == kCapacity; }
    // The entry holding key, or nullptr: a probe of the index from key's home slot.
    Entry* find(std::uint64_t key);
    void add_new(std::uint64_t key, const Representative& representative);
    void take_over(std::uint64_t key, const Representative& representative);
    void hit(Entry& entry);
    void adopt(std::span<const TopEntry> entries);

    // Index: open addressing, linear probing, entry numbers as slots.
    std::size_t home(std::uint64_t key) const;
    void index_insert(std::uint8_t entry_number);
    void index_erase(std::uint8_t entry_number);
    static std::size_t index_slots_for(std::size_t entries);
    // Takes `slots` (index_slots_for(size()) free slots) as the index and fills it.
    void rebuild_index(std::vector<std::uint8_t> slots);

    // The eviction order, once full (count_order.cpp): buckets of equal counts.
    // build_order links the entries in the order given, which must be by ascending count.
    void build_order(std::span<const std::uint8_t> order);
    void step_up(std::uint8_t entry_number);  // count + 1, to the back of its new bucket
    void unlink(std::uint8_t entry_number);
    void append(std::uint8_t entry_number, std::uint8_t bucket);
    std::uint8_t new_bucket_after(std::uint8_t bucket);
    void remove_bucket(std::uint8_t bucket);
    // Entry numbers from the next to be evicted on (full), else by (count, key) ascending.
    using Order = std::array<std::uint8_t, kCapacity>;
    std::span<const std::uint8_t> eviction_order(Order& out) const;

    std::uint64_t store(const Representative& representative, Kind& kind);
    Representative representative_of(const Entry& entry) const;
    void release_text(const Entry& entry);
    void compact_arena();

    std::vector<Entry> entries_;
    std::vector<std::uint8_t> index_;  // entry numbers, kFreeSlot when free
    std::vector<Bucket> buckets_;      // empty until full
    std::uint8_t least_bucket_ = kNone;
    std::uint8_t free_bucket_ = kNone;  // free buckets, linked by `next`
    std::vector<char> arena_;
    std::size_t live_text_bytes_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t floor_ = 0;
    unsigned index_bits_ = 0;
};

// ---- the hot path, inline -----------------------------------------------------------

inline std::size_t TopValues::home(std::uint64_t key) const {
    return common::mix_slot(key, index_bits_);
}

inline TopValues::Entry* TopValues::find(std::uint64_t key) {
    if (index_.empty()) {
        return nullptr;
    }
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = home(key);; i = (i + 1) & mask) {
        const std::uint8_t n = index_[i];
        if (n == kFreeSlot) {
            return nullptr;
        }
        if (entries_[n].key == key) {
            return &entries_[n];
        }
    }
}

inline void TopValues::hit(Entry& entry) {
    if (buckets_.empty()) {
        ++entry.count;
    } else {
        step_up(static_cast<std::uint8_t>(&entry - entries_.data()));
    }
}

// N counts the value last, so that a value whose representative could not be stored
// (out of memory) is not counted either.
template <class MakeRepresentative>
inline void TopValues::update_one(std::uint64_t key, MakeRepresentative&& make_representative) {
    if (Entry* e = find(key)) {
        hit(*e);
    } else if (!full()) {
        add_new(key, make_representative());
    } else {
        take_over(key, make_representative());
    }
    ++total_;
}

template <class MakeRepresentative>
inline void TopValues::update_with(std::uint64_t key, MakeRepresentative&& make_representative) {
    reserve_values(1);
    update_one(key, make_representative);
}

template <class RepresentativeOf>
inline void TopValues::update_many(std::span<const std::uint64_t> keys,
                                   RepresentativeOf&& representative_of) {
    reserve_values(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        update_one(keys[i], [&] { return representative_of(i); });
    }
}

inline void TopValues::update_many(std::span<const Item> items) {
    reserve_values(items.size());
    for (const Item& item : items) {
        update_one(item.key, [&] { return item.representative; });
    }
}

}  // namespace top_values
