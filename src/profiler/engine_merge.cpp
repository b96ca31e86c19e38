// KarvoEngine's stored form and merge: export_state, merge_state, report, column_names.
//
// A merge copies the other profile out first and then applies the copy, so that merging a
// profile into itself is well defined (counts double, bounds and sketches stay) and two
// engines' locks are never held together. Its cost depends on the columns and their
// sketches, never on how many rows lie behind them.

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "profiler/column_map.h"
#include "profiler/engine.h"
#include "profiler/snapshot.h"
#include "profiler/write_claims.h"

namespace profiler {

namespace {

template <class Entry>
void sort_by_sequence(std::vector<Entry>& entries) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.sequence < b.sequence; });
}

struct Sequenced {
    std::uint64_t sequence;
    ColumnState column;
};

struct SequencedName {
    std::uint64_t sequence;
    std::string name;
};

// Refuses, before anything is merged, a merge whose counts would wrap. Counts only grow,
// so a check made first still holds when the merge adds them (a write that races the
// merge could still push a count over, but only by rows no process can observe).
void check_counts_fit(const ColumnMap& map, const ProfileState& other) {
    for (const ColumnState& column : other) {
        const auto found = map.get(column.name);
        if (!found) {
            continue;
        }
        const std::uint64_t total = found->value()->total_count.load(std::memory_order_relaxed);
        if (column.total_count > UINT64_MAX - total) {
            throw CountOverflow("cannot merge: the counts of column '" + column.name +
                                "' would exceed 2**64 - 1");
        }
    }
}

// Adds one column's state to its claimed record, whose sketch has room reserved for it:
// nothing here allocates.
void merge_column(ColumnStats& stats, const ColumnState& column) noexcept {
    // In ColumnStats::apply's order, which export_state relies on.
    stats.total_count.fetch_add(column.total_count, std::memory_order_relaxed);
    stats.null_count.fetch_add(column.null_count, std::memory_order_release);
    // Initial bounds (+inf for the minimum, -inf for the maximum) never replace one.
    stats.raise_max(std::bit_cast<double>(column.max_bits));
    stats.lower_min(std::bit_cast<double>(column.min_bits));
    {
        std::lock_guard<std::mutex> hold(stats.sketch_mutex);
        stats.sketch.merge(column.sketch);
        stats.sketch.release(sketch::CardinalitySketch::codes_of_state(column.sketch));
        if (stats.summary != nullptr) {
            if (column.summary) {
                stats.summary->merge(*column.summary);
            } else {
                stats.summary->mark_unknown();  // a profile stored without summaries
            }
        }
    }
    stats.published.store(true, std::memory_order_release);
    stats.claims.fetch_sub(1, std::memory_order_release);
}

}  // namespace

ProfileState KarvoEngine::export_state() const {
    const ColumnMapRef map = columns.load();
    std::vector<Sequenced> found;
    map->iter([&found](std::string_view name, const StatsRef& stats) {
        if (!is_published(*stats)) {
            return;
        }
        Sequenced entry{stats->sequence, ColumnState{}};
        ColumnState& column = entry.column;
        column.name = std::string(name);
        // Read against the writers' order (ColumnStats::apply), so that the copy is a state
        // observations can make even while writes run: each part read brings the counts
        // and bounds its writes stored first.
        {
            std::lock_guard<std::mutex> hold(stats->sketch_mutex);
            column.sketch = stats->sketch.state();
            if (stats->summary != nullptr) {
                column.summary = *stats->summary;
            }
        }
        column.min_bits = stats->min_bits.load(std::memory_order_acquire);
        column.max_bits = stats->max_bits.load(std::memory_order_acquire);
        column.null_count = stats->null_count.load(std::memory_order_acquire);
        column.total_count = stats->total_count.load(std::memory_order_acquire);
        if (column.min_bits == kPositiveInfinityBits) {
            // A write has raised the maximum and not yet lowered the minimum: its value is
            // both bounds so far (+inf stays "only +inf seen", -inf "none").
            column.min_bits = column.max_bits == kNegativeInfinityBits ? kPositiveInfinityBits
                                                                       : column.max_bits;
        }
        found.push_back(std::move(entry));
    });
    sort_by_sequence(found);
    ProfileState state;
    state.reserve(found.size());
    for (Sequenced& entry : found) {
        state.push_back(std::move(entry.column));
    }
    return state;
}

// Claims every column's record and reserves its sketch's room first, then applies, as a
// batch does (engine.cpp): a merge that fails part way has merged nothing.
void KarvoEngine::merge_state(const ProfileState& other) const {
    const std::shared_lock<std::shared_mutex> writing(writing_);  // a write, see engine.h
    const ColumnMapRef map = columns.load();  // pinned for the whole merge
    check_counts_fit(*map, other);
    std::vector<std::string_view> names(other.size());
    std::transform(other.begin(), other.end(), names.begin(),
                   [](const ColumnState& column) { return std::string_view(column.name); });
    WriteClaims claims(*map, names, [&other](std::size_t i, ColumnStats& record) noexcept {
        std::lock_guard<std::mutex> hold(record.sketch_mutex);
        record.sketch.release(sketch::CardinalitySketch::codes_of_state(other[i].sketch));
    });
    for (std::size_t i = 0; i < other.size(); ++i) {
        claims.take(
            i, [&map, this](std::string_view name) { return claim(*map, name); },
            [&column = other[i]](ColumnStats& record) {
                std::lock_guard<std::mutex> hold(record.sketch_mutex);
                record.sketch.reserve_state(column.sketch);
            });
    }
    claims.applying();
    for (std::size_t i = 0; i < other.size(); ++i) {
        merge_column(*claims[i], other[i]);
    }
}

std::string KarvoEngine::report() const {
    const ColumnMapRef map = columns.load();
    ReportMap report;
    map->iter([&report](std::string_view name, const StatsRef& stats) {
        if (!is_published(*stats)) {
            return;
        }
        report.push_back(ReportEntry{std::string(name), stats->sequence, snapshot_of(*stats)});
    });
    sort_by_sequence(report);
    return write_report(report);
}

std::vector<SummaryEntry> KarvoEngine::summaries() const {
    const ColumnMapRef map = columns.load();
    std::vector<SummaryEntry> found;
    map->iter([&found](std::string_view name, const StatsRef& stats) {
        if (!is_published(*stats)) {
            return;
        }
        SummaryEntry entry{std::string(name), stats->sequence, {}, std::nullopt};
        // The summary first: the counts read after it hold every value it holds.
        if (stats->summary != nullptr) {
            std::lock_guard<std::mutex> hold(stats->sketch_mutex);
            entry.summary = *stats->summary;
        }
        entry.snapshot = snapshot_of(*stats);
        found.push_back(std::move(entry));
    });
    sort_by_sequence(found);
    return found;
}

std::vector<std::string> KarvoEngine::column_names() const {
    const ColumnMapRef map = columns.load();
    std::vector<SequencedName> found;
    map->iter([&found](std::string_view name, const StatsRef& stats) {
        if (!is_published(*stats)) {
            return;
        }
        found.push_back(SequencedName{stats->sequence, std::string(name)});
    });
    sort_by_sequence(found);
    std::vector<std::string> names;
    names.reserve(found.size());
    for (SequencedName& entry : found) {
        names.push_back(std::move(entry.name));
    }
    return names;
}

}  // namespace profiler
