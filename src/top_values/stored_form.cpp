// The stored form of a TopValues, little-endian, every number a shortest-form varint
// unless said otherwise:
//
//   total N, floor, entry count (at most 64);
//   per entry, in eviction order: key (u64), count, error, kind (u8: 1 number, 2 text);
//     a number: its bits (u64); a text: its length in bytes (at most 1024), its UTF-8.
//
// Eviction order: with 64 entries, the order in which they would make room (ascending
// count, arrival order within a count; part of the state); with fewer, ascending (count,
// key), the order they would take when the summary fills.
//
// Canonical: the order and every field are fixed by the state, so equal states give equal
// bytes. read() checks each field before it relies on it, and refuses every state that
// breaks an invariant of top_values.h (I1 to I4) or the order, so a state it returns
// behaves as the summary that wrote it would: the index, the buckets and the arena are
// rebuilt from the entries in their order.
#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "top_values/top_values.h"

namespace top_values {

namespace {

Representative read_representative(ByteReader& in) {
    const std::uint8_t kind = in.u8("kind");
    if (kind == static_cast<std::uint8_t>(Kind::kNumber)) {
        return Representative::of_number(std::bit_cast<double>(in.u64("number")));
    }
    if (kind != static_cast<std::uint8_t>(Kind::kText)) {
        in.fail("kind", "unknown kind " + std::to_string(kind));
    }
    const std::uint64_t length = in.varint("text length");
    if (length > kMaxTextBytes) {
        in.fail("text length", std::to_string(length) + " bytes, more than " +
                                   std::to_string(kMaxTextBytes));
    }
    const auto bytes = in.take(length, "text");
    if (!common::valid_utf8(bytes)) {
        in.fail("text", "not valid UTF-8");
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::size_t points = common::code_point_count(text);
    if (points > kMaxTextCodePoints) {
        in.fail("text", std::to_string(points) + " code points, more than " +
                            std::to_string(kMaxTextCodePoints));
    }
    return Representative::of_text(text);
}

}  // namespace

void TopValues::write(ByteWriter& out) const {
    out.varint(total_);
    out.varint(floor_);
    out.varint(entries_.size());
    Order order;
    for (const std::uint8_t n : eviction_order(order)) {
        const Entry* e = &entries_[n];
        out.u64(e->key);
        out.varint(e->count);
        out.varint(e->error);
        out.u8(static_cast<std::uint8_t>(e->kind));
        const Representative r = representative_of(*e);
        if (e->kind == Kind::kNumber) {
            out.u64(e->payload);
        } else {
            out.varint(r.text.size());
            out.bytes({reinterpret_cast<const std::uint8_t*>(r.text.data()), r.text.size()});
        }
    }
}

TopValues TopValues::read(ByteReader& in) {
    const std::uint64_t total = in.varint("total");
    const std::uint64_t floor = in.varint("floor");
    const std::uint64_t n = in.varint("entry count");
    if (n > kCapacity) {
        in.fail("entry count", std::to_string(n) + " entries, more than " +
                                   std::to_string(kCapacity));
    }
    std::vector<TopEntry> entries;
    entries.reserve(static_cast<std::size_t>(n));
    std::uint64_t sum = 0;
    std::uint64_t least = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        TopEntry t{};
        t.key = in.u64("key");
        t.count = in.varint("count");
        if (i > 0 && t.count < entries.back().count) {
            in.fail("count", "counts not in ascending order");
        }
        if (i > 0 && n < kCapacity && t.count == entries.back().count &&
            t.key <= entries.back().key) {
            in.fail("key", "keys of equal counts not strictly ascending");
        }
        t.error = in.varint("error");
        if (t.error >= t.count) {
            in.fail("error", "error " + std::to_string(t.error) + " not below count " +
                                 std::to_string(t.count));
        }
        if (t.error > floor) {
            in.fail("error", "error above the floor");
        }
        if (t.count > total - sum) {
            in.fail("count", "counts add up to more than the total");
        }
        sum += t.count;
        least = i == 0 ? t.count : std::min(least, t.count);
        t.representative = read_representative(in);
        entries.push_back(t);
    }
    if (n == kCapacity) {
        std::vector<std::uint64_t> keys;
        for (const TopEntry& t : entries) {
            keys.push_back(t.key);
        }
        std::sort(keys.begin(), keys.end());
        if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) {
            in.fail("key", "a key held twice");
        }
    }
    // Nothing dropped (I3): exact counts. Full (I4): the floor is at most every count.
    if (n < kCapacity && floor != 0) {
        in.fail("floor", "a floor without a full summary");
    }
    if (floor == 0 && sum != total) {
        in.fail("total", "exact counts that do not add up to the total");
    }
    if (n == kCapacity && floor > least) {
        in.fail("floor", "floor above the least count");
    }
    TopValues s;
    s.total_ = total;
    s.floor_ = floor;
    s.adopt(entries);
    return s;
}

}  // namespace top_values
