#include "top_values/top_values.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace top_values {

namespace {

constexpr std::size_t kMinIndexSlots = 4;
// The arena is compacted when its dead bytes pass the live ones by this much: a rewrite
// of the live texts then follows at least as many appended bytes, O(1) per byte.
constexpr std::size_t kArenaSlack = 4096;

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

std::uint64_t text_payload(std::size_t offset, std::size_t length) {
    return static_cast<std::uint64_t>(offset) | static_cast<std::uint64_t>(length) << 32;
}
std::size_t text_offset(std::uint64_t payload) { return static_cast<std::uint32_t>(payload); }
std::size_t text_length(std::uint64_t payload) { return static_cast<std::size_t>(payload >> 32); }

}  // namespace

std::string_view cut_text(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;  // no more code points than bytes
    }
    std::size_t points = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!is_continuation(static_cast<unsigned char>(text[i])) && points++ == limit) {
            return text.substr(0, i);
        }
    }
    return text;
}

// ---- updates ------------------------------------------------------------------------

void TopValues::reserve_values(std::size_t n) const {
    if (n > std::numeric_limits<std::uint64_t>::max() - total_) {
        throw std::overflow_error("top values: more than 2^64-1 values in one summary");
    }
}

void TopValues::add_new(std::uint64_t key, const Representative& representative) {
    Entry e{key, 1, 0, 0, Kind::kNumber, 0};
    e.payload = store(representative, e.kind);
    entries_.push_back(e);
    if (2 * entries_.size() > index_.size()) {
        rebuild_index();  // grows it: at most half the slots taken
    } else {
        index_insert(static_cast<std::uint8_t>(entries_.size() - 1));
    }
    if (full()) {
        build_heap();
    }
}

// The entry of least (count, key) makes room: the new key may have occurred that many
// times before, no more, since every key held has at least that count (I4).
void TopValues::take_over(std::uint64_t key, const Representative& representative) {
    const std::uint8_t n = heap_[0];
    Entry& e = entries_[n];
    floor_ = std::max(floor_, e.count);
    index_erase(n);
    release_text(e);
    e.kind = Kind::kNumber;  // so that a compaction inside store() passes over it
    e.key = key;
    e.error = e.count;
    e.count += 1;
    e.payload = store(representative, e.kind);
    index_insert(n);
    sift_down(0);
}

// ---- index --------------------------------------------------------------------------

void TopValues::index_insert(std::uint8_t entry_number) {
    const std::size_t mask = index_.size() - 1;
    std::size_t i = home(entries_[entry_number].key);
    while (index_[i] != kFreeSlot) {
        i = (i + 1) & mask;
    }
    index_[i] = entry_number;
}

// Linear probing's deletion without tombstones: later slots of the run move back into the
// hole unless their home lies cyclically after it.
void TopValues::index_erase(std::uint8_t entry_number) {
    const std::size_t mask = index_.size() - 1;
    std::size_t hole = home(entries_[entry_number].key);
    while (index_[hole] != entry_number) {
        hole = (hole + 1) & mask;
    }
    for (std::size_t i = (hole + 1) & mask; index_[i] != kFreeSlot; i = (i + 1) & mask) {
        const std::size_t h = home(entries_[index_[i]].key);
        const bool stays = ((i - h) & mask) < ((i - hole) & mask);
        if (!stays) {
            index_[hole] = index_[i];
            hole = i;
        }
    }
    index_[hole] = kFreeSlot;
}

void TopValues::rebuild_index() {
    std::size_t slots = kMinIndexSlots;
    while (slots < 2 * entries_.size()) {
        slots *= 2;
    }
    index_.assign(slots, kFreeSlot);
    index_.shrink_to_fit();
    index_bits_ = static_cast<unsigned>(std::countr_zero(slots));
    for (std::size_t n = 0; n < entries_.size(); ++n) {
        index_insert(static_cast<std::uint8_t>(n));
    }
}

// ---- heap ---------------------------------------------------------------------------

void TopValues::build_heap() {
    heap_.resize(entries_.size());
    for (std::size_t n = 0; n < heap_.size(); ++n) {
        heap_[n] = static_cast<std::uint8_t>(n);
        entries_[n].heap_at = static_cast<std::uint8_t>(n);
    }
    for (std::size_t at = heap_.size() / 2; at-- > 0;) {
        sift_down(at);
    }
}

// Counts only grow, so an entry only ever moves down, toward larger counts.
void TopValues::sift_down(std::size_t at) {
    const std::size_t size = heap_.size();
    const std::uint8_t moving = heap_[at];
    const Entry& m = entries_[moving];
    for (;;) {
        std::size_t child = 2 * at + 1;
        if (child >= size) {
            break;
        }
        if (child + 1 < size && before(entries_[heap_[child + 1]], entries_[heap_[child]])) {
            ++child;
        }
        if (!before(entries_[heap_[child]], m)) {
            break;
        }
        heap_[at] = heap_[child];
        entries_[heap_[at]].heap_at = static_cast<std::uint8_t>(at);
        at = child;
    }
    heap_[at] = moving;
    entries_[moving].heap_at = static_cast<std::uint8_t>(at);
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
    const auto by_key = [](const TopValues& s) {
        std::vector<const Entry*> sorted;
        sorted.reserve(s.entries_.size());
        for (const Entry& e : s.entries_) {
            sorted.push_back(&e);
        }
        std::sort(sorted.begin(), sorted.end(),
                  [](const Entry* a, const Entry* b) { return a->key < b->key; });
        return sorted;
    };
    const std::vector<const Entry*> mine = by_key(*this);
    const std::vector<const Entry*> theirs = by_key(other);

    // Every key of either side with the sum of its two intervals; an absent side's is
    // [0, floor].
    std::vector<TopEntry> candidates;
    candidates.reserve(mine.size() + theirs.size());
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < mine.size() || j < theirs.size()) {
        const bool take_mine = j == theirs.size() || (i < mine.size() && mine[i]->key <= theirs[j]->key);
        const bool take_theirs = i == mine.size() || (j < theirs.size() && theirs[j]->key <= mine[i]->key);
        const Entry* a = take_mine ? mine[i++] : nullptr;
        const Entry* b = take_theirs ? theirs[j++] : nullptr;
        TopEntry c{};
        c.key = a ? a->key : b->key;
        c.count = (a ? a->count : floor_) + (b ? b->count : other.floor_);
        c.error = (a ? a->error : floor_) + (b ? b->error : other.floor_);
        c.representative = a ? representative_of(*a) : other.representative_of(*b);
        candidates.push_back(c);
    }
    std::sort(candidates.begin(), candidates.end(), by_count_then_key);

    TopValues merged;
    merged.total_ = total_ + other.total_;
    merged.floor_ = floor_ + other.floor_;
    if (candidates.size() > kCapacity) {
        merged.floor_ = std::max(merged.floor_, candidates[kCapacity].count);
        candidates.resize(kCapacity);
    }
    merged.adopt(candidates);
    *this = std::move(merged);
}

// Takes the entries as they are (the caller checked them), in their order.
void TopValues::adopt(std::span<const TopEntry> entries) {
    entries_.reserve(entries.size());
    for (const TopEntry& t : entries) {
        Entry e{t.key, t.count, t.error, 0, Kind::kNumber, 0};
        e.payload = store(t.representative, e.kind);
        entries_.push_back(e);
    }
    rebuild_index();
    if (full()) {
        build_heap();
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
           heap_.capacity();
}

}  // namespace top_values
