#include "common/utf8.h"
#include "top_values/top_values.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <string>

namespace top_values {

namespace {

constexpr std::size_t kMinIndexSlots = 4;
// The arena is compacted when its dead bytes pass the live ones by this much: a rewrite
// of the live texts then follows at least as many appended bytes, O(1) per byte.
constexpr std::size_t kArenaSlack = 4096;


std::uint64_t text_payload(std::size_t offset, std::size_t length) {
    return static_cast<std::uint64_t>(offset) | static_cast<std::uint64_t>(length) << 32;
}
std::size_t text_offset(std::uint64_t payload) { return static_cast<std::uint32_t>(payload); }
std::size_t text_length(std::uint64_t payload) { return static_cast<std::size_t>(payload >> 32); }

}  // namespace

std::string_view cut_text(std::string_view text, std::size_t limit) {
    return common::code_point_prefix(text, limit);
}

// ---- updates ------------------------------------------------------------------------

void TopValues::reserve_values(std::size_t n) const {
    if (n > std::numeric_limits<std::uint64_t>::max() - total_) {
        throw std::overflow_error("top values: more than 2^64-1 values in one summary");
    }
}

// Everything that allocates comes first, so that a failure leaves the summary as it was.
void TopValues::add_new(std::uint64_t key, const Representative& representative) {
    const std::size_t size = entries_.size() + 1;
    if (size > entries_.capacity()) {
        entries_.reserve(std::min(kCapacity, 2 * entries_.capacity() + (entries_.empty() ? 1 : 0)));
    }
    std::vector<std::uint8_t> grown;
    if (index_slots_for(size) > index_.size()) {
        grown.assign(index_slots_for(size), kFreeSlot);
    }
    if (size == kCapacity) {
        buckets_.reserve(kCapacity);
    }
    Entry e{key, 1, 0, 0, Kind::kNumber, kNone, kNone, kNone, 0, 0};
    e.payload = store(representative, e.kind);

    entries_.push_back(e);  // no reallocation: reserved above
    if (!grown.empty()) {
        rebuild_index(std::move(grown));
    } else {
        index_insert(static_cast<std::uint8_t>(size - 1));
    }
    if (full()) {
        Order order;
        build_order(eviction_order(order));
    }
}

// The first entry of the least count makes room: the new key may have occurred that many
// times before, no more, since every key held has at least that count (I4). It takes the
// entry's place with one more: count + 1, error = the old count. The new text is stored
// first, while the old one still counts as live, since storing may fail.
void TopValues::take_over(std::uint64_t key, const Representative& representative) {
    const std::uint8_t n = buckets_[least_bucket_].first;
    Kind kind;
    const std::uint64_t payload = store(representative, kind);
    Entry& e = entries_[n];
    floor_ = std::max(floor_, e.count);
    index_erase(n);
    release_text(e);
    e.key = key;
    e.error = e.count;
    e.kind = kind;
    e.payload = payload;
    index_insert(n);
    step_up(n);
}

// ---- index --------------------------------------------------------------------------

void TopValues::index_insert(std::uint8_t entry_number) {
    static_assert(sizeof(Entry) == 40, "an entry's home slot fits its padding");
    const std::size_t mask = index_.size() - 1;
    Entry& e = entries_[entry_number];
    std::size_t i = home(e.key);
    e.home = static_cast<std::uint8_t>(i);
    while (index_[i] != kFreeSlot) {
        i = (i + 1) & mask;
    }
    index_[i] = entry_number;
    e.slot = static_cast<std::uint8_t>(i);
}

// Linear probing's deletion without tombstones: later slots of the run move back into the
// hole unless their home lies cyclically after it.
void TopValues::index_erase(std::uint8_t entry_number) {
    const std::size_t mask = index_.size() - 1;
    std::size_t hole = entries_[entry_number].slot;
    for (std::size_t i = (hole + 1) & mask; index_[i] != kFreeSlot; i = (i + 1) & mask) {
        const std::size_t h = entries_[index_[i]].home;
        const bool stays = ((i - h) & mask) < ((i - hole) & mask);
        if (!stays) {
            index_[hole] = index_[i];
            entries_[index_[hole]].slot = static_cast<std::uint8_t>(hole);
            hole = i;
        }
    }
    index_[hole] = kFreeSlot;
}

// The fewest slots, a power of two, that keep `entries` to at most a quarter of them.
std::size_t TopValues::index_slots_for(std::size_t entries) {
    std::size_t slots = kMinIndexSlots;
    while (slots < 4 * entries) {
        slots *= 2;
    }
    return slots;
}

void TopValues::rebuild_index(std::vector<std::uint8_t> slots) {
    index_ = std::move(slots);
    index_bits_ = static_cast<unsigned>(std::countr_zero(index_.size()));
    for (std::size_t n = 0; n < entries_.size(); ++n) {
        index_insert(static_cast<std::uint8_t>(n));
    }
}

// ---- representatives ----------------------------------------------------------------

std::uint64_t TopValues::store(const Representative& representative, Kind& kind) {
    kind = representative.kind;
    if (representative.kind != Kind::kText) {
        kind = Kind::kNumber;
        return std::bit_cast<std::uint64_t>(representative.number);
    }
    const std::string_view text = cut_text(representative.text);
    if (arena_.size() - live_text_bytes_ > live_text_bytes_ + kArenaSlack) {
        compact_arena();
    }
    const std::size_t offset = arena_.size();
    arena_.insert(arena_.end(), text.begin(), text.end());
    live_text_bytes_ += text.size();
    return text_payload(offset, text.size());
}

Representative TopValues::representative_of(const Entry& entry) const {
    if (entry.kind == Kind::kText) {
        return Representative::of_text(std::string_view(arena_.data() + text_offset(entry.payload),
                                                        text_length(entry.payload)));
    }
    return Representative::of_number(std::bit_cast<double>(entry.payload));
}

void TopValues::release_text(const Entry& entry) {
    if (entry.kind == Kind::kText) {
        live_text_bytes_ -= text_length(entry.payload);
    }
}

void TopValues::compact_arena() {
    std::vector<char> fresh;
    fresh.reserve(live_text_bytes_ + kMaxTextBytes);
    for (Entry& e : entries_) {
        if (e.kind == Kind::kText) {
            const char* from = arena_.data() + text_offset(e.payload);
            const std::size_t length = text_length(e.payload);
            const std::size_t offset = fresh.size();
            fresh.insert(fresh.end(), from, from + length);
            e.payload = text_payload(offset, length);
        }
    }
    arena_ = std::move(fresh);
}

// ---- merge --------------------------------------------------------------------------

namespace {

bool by_count_then_key(const TopEntry& a, const TopEntry& b) {
    return a.count != b.count ? a.count > b.count : a.key < b.key;
}

}  // namespace

void TopValues::merge(const TopValues& other) {
    reserve_values(other.total_);
    // Each side's entries by key, with their places in that side's eviction order.
    struct Held {
        const Entry* entry;
        std::uint32_t rank;
    };
    const auto by_key = [](const TopValues& s) {
        std::vector<Held> sorted;
        sorted.reserve(s.entries_.size());
        Order storage;
        const std::span<const std::uint8_t> order = s.eviction_order(storage);
        for (std::size_t r = 0; r < order.size(); ++r) {
            sorted.push_back({&s.entries_[order[r]], static_cast<std::uint32_t>(r)});
        }
        std::sort(sorted.begin(), sorted.end(),
                  [](const Held& a, const Held& b) { return a.entry->key < b.entry->key; });
        return sorted;
    };
    const std::vector<Held> mine = by_key(*this);
    const std::vector<Held> theirs = by_key(other);

    // Every key of either side with the sum of its two intervals; an absent side's is
    // [0, floor]. The rank orders equal counts afterwards: this side's keys in this side's
    // eviction order, then the other's in its order.
    struct Candidate {
        TopEntry entry;
        std::uint32_t rank;
    };
    std::vector<Candidate> candidates;
    candidates.reserve(mine.size() + theirs.size());
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < mine.size() || j < theirs.size()) {
        const bool take_mine =
            j == theirs.size() || (i < mine.size() && mine[i].entry->key <= theirs[j].entry->key);
        const bool take_theirs =
            i == mine.size() || (j < theirs.size() && theirs[j].entry->key <= mine[i].entry->key);
        const Held* a = take_mine ? &mine[i++] : nullptr;
        const Held* b = take_theirs ? &theirs[j++] : nullptr;
        TopEntry c{};
        c.key = a ? a->entry->key : b->entry->key;
        c.count = (a ? a->entry->count : floor_) + (b ? b->entry->count : other.floor_);
        c.error = (a ? a->entry->error : floor_) + (b ? b->entry->error : other.floor_);
        c.representative = a ? representative_of(*a->entry) : other.representative_of(*b->entry);
        candidates.push_back({c, a ? a->rank : static_cast<std::uint32_t>(kCapacity) + b->rank});
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return by_count_then_key(a.entry, b.entry);
    });

    TopValues merged;
    merged.total_ = total_ + other.total_;
    merged.floor_ = floor_ + other.floor_;
    if (candidates.size() > kCapacity) {
        merged.floor_ = std::max(merged.floor_, candidates[kCapacity].entry.count);
        candidates.resize(kCapacity);
    }
    // The eviction order: ascending count, then rank; so merging an empty summary, either
    // way round, changes nothing.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.entry.count != b.entry.count ? a.entry.count < b.entry.count : a.rank < b.rank;
    });
    std::vector<TopEntry> kept;
    kept.reserve(candidates.size());
    for (const Candidate& c : candidates) {
        kept.push_back(c.entry);
    }
    merged.adopt(kept);
    *this = std::move(merged);
}

// Takes the entries as they are (the caller checked them), in their order, which becomes
// the eviction order if they fill the summary.
void TopValues::adopt(std::span<const TopEntry> entries) {
    entries_.reserve(entries.size());
    for (const TopEntry& t : entries) {
        Entry e{t.key, t.count, t.error, 0, Kind::kNumber, kNone, kNone, kNone, 0, 0};
        e.payload = store(t.representative, e.kind);
        entries_.push_back(e);
    }
    rebuild_index(std::vector<std::uint8_t>(index_slots_for(entries_.size()), kFreeSlot));
    if (full()) {
        Order order;
        for (std::size_t n = 0; n < order.size(); ++n) {
            order[n] = static_cast<std::uint8_t>(n);
        }
        build_order(order);
    }
}

// ---- reading out --------------------------------------------------------------------

std::vector<TopEntry> TopValues::top(std::size_t n) const {
    std::vector<TopEntry> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) {
        out.push_back({e.key, e.count, e.error, representative_of(e)});
    }
    n = std::min(n, out.size());
    std::partial_sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), out.end(),
                      by_count_then_key);
    out.resize(n);
    return out;
}

std::size_t TopValues::memory_bytes() const {
    return sizeof(*this) + entries_.capacity() * sizeof(Entry) + index_.capacity() +
           buckets_.capacity() * sizeof(Bucket);
}

}  // namespace top_values
