// WriteClaims: the records one write (a batch, a merge) has claimed in its pinned map,
// the engine's means of applying a write all or nothing (column_stats.h).
//
// A write claims every record it will touch, in order, found or created, and reserves the
// room each needs (take), any of which may fail; then it applies (applying), which cannot
// fail, each application ending its claim. Until it applies, destroying the claims undoes
// them: each reservation goes back (`unreserve`), and a record that no write claims any
// more and none has applied to leaves the map (ColumnMap::abandon). So a write that fails
// part way leaves no record, no count and no sketch key behind.
//
// Thread safety: one write's own object, on the thread of that write.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "profiler/column_map.h"

namespace profiler {

// `unreserve(i, record)` gives back what a take of item i reserved; it must not throw.
template <class Unreserve>
class WriteClaims {
  public:
    WriteClaims(ColumnMap& map, std::span<const std::string_view> names, Unreserve unreserve)
        : map_(map), names_(names), unreserve_(std::move(unreserve)), records_(names.size()) {}
    ~WriteClaims() {
        if (!applying_) {
            undo();
        }
    }
    WriteClaims(const WriteClaims&) = delete;
    WriteClaims& operator=(const WriteClaims&) = delete;

    // Claims item i's record through claim(name), then reserves its room through
    // reserve(record). Items are taken in ascending order; either step may throw.
    template <class Claim, class Reserve>
    void take(std::size_t i, Claim&& claim, Reserve&& reserve) {
        records_[i] = claim(names_[i]);
        reserve(*records_[i]);
        reserved_ = i + 1;
    }
    // Item i's record; null for an item not taken.
    const StatsRef& operator[](std::size_t i) const { return records_[i]; }
    std::size_t size() const { return records_.size(); }
    // Every item is taken: from here on the write applies each claimed record, and each
    // application ends its claim.
    void applying() { applying_ = true; }

  private:
    void undo() noexcept {
        for (std::size_t i = 0; i < records_.size(); ++i) {
            if (!records_[i]) {
                continue;
            }
            if (i < reserved_) {
                unreserve_(i, *records_[i]);
            }
            map_.abandon(names_[i], records_[i]);
        }
    }

    ColumnMap& map_;
    std::span<const std::string_view> names_;
    Unreserve unreserve_;
    std::vector<StatsRef> records_;
    std::size_t reserved_ = 0;  // items below it that were taken hold reserved room
    bool applying_ = false;
};

}  // namespace profiler
