// The eviction order of a full summary: entries grouped in buckets of equal count, the
// buckets linked in ascending count, the entries of a bucket in the order they reached
// that count. A hit moves its entry from the back of nothing to the back of the next
// bucket (made if the next count has none); a takeover evicts the front of the least
// bucket. Both are O(1): a few links, no comparison of keys.
//
// Why arrival order and not key order among equal counts: keeping a bucket sorted by key
// costs a scan per move, up to 64 entries on a stream of distinct keys, the worst case;
// arrival order is as much a function of the sequence of updates and merges, and it is
// stored with the state. Where no arrival order exists (when the summary fills, after a
// merge) the order is ascending (count, key).
#include <algorithm>

#include "top_values/top_values.h"

namespace top_values {

void TopValues::build_order(std::span<const std::uint8_t> order) {
    buckets_.reserve(kCapacity);  // allocates at most once, exactly 64
    buckets_.assign(kCapacity, Bucket{kNone, kNone, kNone, kNone});
    for (std::size_t b = 0; b + 1 < kCapacity; ++b) {
        buckets_[b].next = static_cast<std::uint8_t>(b + 1);
    }
    free_bucket_ = 0;
    least_bucket_ = kNone;
    std::uint8_t last = kNone;
    for (const std::uint8_t n : order) {
        if (last == kNone || entries_[buckets_[last].first].count != entries_[n].count) {
            last = new_bucket_after(last);
        }
        append(n, last);
    }
}

void TopValues::step_up(std::uint8_t n) {
    Entry& e = entries_[n];
    const std::uint8_t b = e.bucket;
    const std::uint8_t next = buckets_[b].next;
    const bool alone = buckets_[b].first == n && buckets_[b].last == n;
    ++e.count;
    if (next != kNone && entries_[buckets_[next].first].count == e.count) {
        unlink(n);
        append(n, next);
        if (alone) {
            remove_bucket(b);
        }
    } else if (!alone) {
        const std::uint8_t fresh = new_bucket_after(b);
        unlink(n);
        append(n, fresh);
    }
    // else: alone in its bucket, and the bucket's count rises with it.
}

void TopValues::unlink(std::uint8_t n) {
    Entry& e = entries_[n];
    Bucket& b = buckets_[e.bucket];
    (e.prev != kNone ? entries_[e.prev].next : b.first) = e.next;
    (e.next != kNone ? entries_[e.next].prev : b.last) = e.prev;
}

void TopValues::append(std::uint8_t n, std::uint8_t bucket) {
    Entry& e = entries_[n];
    Bucket& b = buckets_[bucket];
    e.bucket = bucket;
    e.prev = b.last;
    e.next = kNone;
    (b.last != kNone ? entries_[b.last].next : b.first) = n;
    b.last = n;
}

// A bucket after `bucket` (first of all when kNone). There is always a free one: buckets
// in use hold at least one entry each, and a new one is made only for an entry leaving a
// bucket that keeps others.
std::uint8_t TopValues::new_bucket_after(std::uint8_t bucket) {
    const std::uint8_t fresh = free_bucket_;
    Bucket& f = buckets_[fresh];
    free_bucket_ = f.next;
    f.first = f.last = kNone;
    f.prev = bucket;
    f.next = bucket == kNone ? least_bucket_ : buckets_[bucket].next;
    (bucket == kNone ? least_bucket_ : buckets_[bucket].next) = fresh;
    if (f.next != kNone) {
        buckets_[f.next].prev = fresh;
    }
    return fresh;
}

void TopValues::remove_bucket(std::uint8_t bucket) {
    Bucket& b = buckets_[bucket];
    (b.prev != kNone ? buckets_[b.prev].next : least_bucket_) = b.next;
    if (b.next != kNone) {
        buckets_[b.next].prev = b.prev;
    }
    b.next = free_bucket_;
    free_bucket_ = bucket;
}

std::span<const std::uint8_t> TopValues::eviction_order(Order& out) const {
    std::size_t size = 0;
    if (!buckets_.empty()) {
        for (std::uint8_t b = least_bucket_; b != kNone; b = buckets_[b].next) {
            for (std::uint8_t n = buckets_[b].first; n != kNone; n = entries_[n].next) {
                out[size++] = n;
            }
        }
        return {out.data(), size};
    }
    for (; size < entries_.size(); ++size) {
        out[size] = static_cast<std::uint8_t>(size);
    }
    std::sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size),
              [&](std::uint8_t a, std::uint8_t b) {
                  const Entry& x = entries_[a];
                  const Entry& y = entries_[b];
                  return x.count != y.count ? x.count < y.count : x.key < y.key;
              });
    return {out.data(), size};
}

}  // namespace top_values
