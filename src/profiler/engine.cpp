#include "profiler/engine.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>
#include <vector>

#include "profiler/snapshot.h"

namespace profiler {

namespace {

// What a batch contributes to one column record, gathered before the record is touched.
// Applying it gives what applying the cells one by one in batch order would give: counts
// add up, and the first of equal extreme values wins, as it would in the bound loops.
struct Aggregate {
    StatsRef stats;
    std::uint64_t cells = 0;
    std::uint64_t nulls = 0;
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    std::size_t key_room = 0;    // cells, so the most keys it can get
    std::size_t key_begin = 0;   // its run in the key buffer
    std::size_t key_cursor = 0;  // next free place in its run while gathering
};

// Per entry of batch.columns: its cells, and the aggregate it feeds once resolved.
struct ColumnTally {
    static constexpr std::uint32_t kUnseen = UINT32_MAX;
    std::uint64_t cells = 0;
    std::uint32_t aggregate = kUnseen;
};

// What one cell gives its aggregate, worked out without a branch on its tag: the columns
// of a batch mix types, so a branch per tag is mispredicted often. A cell with no numeric
// value bounds with infinities, which never replace a bound (the bounds start there), and
// a cell with no key writes one that the cursor then does not keep.
struct CellFacts {
    double low;   // its numeric value, or +inf
    double high;  // its numeric value, or -inf
    std::uint64_t key;
    std::uint64_t has_key;  // 0 or 1
    std::uint64_t is_null;  // 0 or 1
};

CellFacts facts_of(const Cell& cell) {
    const bool is_int = cell.tag == Tag::Int;
    const bool is_str = cell.tag == Tag::Str;
    const double as_int = static_cast<double>(static_cast<std::int64_t>(cell.payload));
    const double as_float = std::bit_cast<double>(cell.payload);
    const double x = is_int ? as_int : as_float;
    // An Int, or a Float that is not NaN; the same as numeric_value.
    const bool numeric = is_int || (cell.tag == Tag::Float && as_float == as_float);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    return CellFacts{numeric ? x : kInf, numeric ? x : -kInf,
                     is_str ? cell.payload : std::bit_cast<std::uint64_t>(x),
                     static_cast<std::uint64_t>(is_str || numeric),
                     static_cast<std::uint64_t>(cell.tag == Tag::Null)};
}

// The record stored under name, created if the map has none. Only a miss copies the
// name and takes the shard's lock exclusively.
StatsRef resolve(ColumnMap& map, std::string_view name) {
    if (auto hit = map.get(name)) {
        return hit->value();
    }
    return map.entry(std::string(name))
        .or_insert_with([&map] { return ColumnStats::create(map.take_sequence()); })
        .value();
}

// Counts cells per column entry and lists the used entries in the order of their first
// cell, so that new columns are created in the order the rows name them. Checks every
// cell's column before anything is ingested.
std::vector<std::uint32_t> tally_columns(const CellBatch& batch, std::vector<ColumnTally>& tally) {
    std::vector<std::uint32_t> first_seen;
    for (const Cell& cell : batch.cells) {
        if (cell.column >= tally.size()) {
            throw Panic("cell names a column outside its batch");
        }
        ColumnTally& t = tally[cell.column];
        if (t.aggregate == ColumnTally::kUnseen) {
            t.aggregate = 0;  // seen; resolved later
            first_seen.push_back(cell.column);
        }
        ++t.cells;
    }
    return first_seen;
}

// Resolves each used entry once and gives entries of equal text one aggregate.
std::vector<Aggregate> resolve_columns(ColumnMap& map, const CellBatch& batch,
                                       const std::vector<std::uint32_t>& first_seen,
                                       std::vector<ColumnTally>& tally) {
    std::vector<Aggregate> aggregates;
    aggregates.reserve(first_seen.size());
    std::unordered_map<const ColumnStats*, std::uint32_t> aggregate_of;
    for (const std::uint32_t column : first_seen) {
        StatsRef stats = resolve(map, batch.columns[column]);
        const auto [it, fresh] =
            aggregate_of.try_emplace(stats.get(), static_cast<std::uint32_t>(aggregates.size()));
        if (fresh) {
            aggregates.push_back(Aggregate{std::move(stats)});
        }
        Aggregate& aggregate = aggregates[it->second];
        aggregate.key_room += tally[column].cells;
        tally[column].aggregate = it->second;
    }
    return aggregates;
}

// Gives each aggregate a run of the key buffer with room for a key from every cell, plus
// one place that takes the unkept key written after its last kept one.
std::size_t lay_out_keys(std::vector<Aggregate>& aggregates) {
    std::size_t offset = 0;
    for (Aggregate& aggregate : aggregates) {
        aggregate.key_begin = offset;
        aggregate.key_cursor = offset;
        offset += aggregate.key_room + 1;
    }
    return offset;
}

// One pass in batch order: cells, nulls, bounds and keys per aggregate.
void gather(const CellBatch& batch, const std::vector<ColumnTally>& tally,
            std::vector<Aggregate>& aggregates, std::vector<std::uint64_t>& keys) {
    for (const Cell& cell : batch.cells) {
        Aggregate& aggregate = aggregates[tally[cell.column].aggregate];
        const CellFacts facts = facts_of(cell);
        ++aggregate.cells;
        aggregate.nulls += facts.is_null;
        // Strict comparisons: the first of equal extreme values stays, as in the records.
        aggregate.min = facts.low < aggregate.min ? facts.low : aggregate.min;
        aggregate.max = facts.high > aggregate.max ? facts.high : aggregate.max;
        keys[aggregate.key_cursor] = facts.key;
        aggregate.key_cursor += facts.has_key;
    }
}

// Applies one aggregate to its record: total first, then nulls, bounds, sketch keys.
void apply(const Aggregate& aggregate, std::span<const std::uint64_t> keys) {
    ColumnStats& stats = *aggregate.stats;
    stats.total_count.fetch_add(aggregate.cells, std::memory_order_relaxed);
    if (aggregate.nulls > 0) {
        stats.null_count.fetch_add(aggregate.nulls, std::memory_order_relaxed);
    }
    stats.lower_min(aggregate.min);
    stats.raise_max(aggregate.max);
    stats.insert_keys(keys);
}

}  // namespace

KarvoEngine::KarvoEngine() : columns(ColumnMap::with_capacity_and_hasher(0)) {}

void KarvoEngine::process_cells(const CellBatch& batch) const {
    const ColumnMapRef map = columns.load();  // pinned for the whole batch
    std::vector<ColumnTally> tally(batch.columns.size());
    const std::vector<std::uint32_t> first_seen = tally_columns(batch, tally);
    std::vector<Aggregate> aggregates = resolve_columns(*map, batch, first_seen, tally);
    std::vector<std::uint64_t> keys(lay_out_keys(aggregates));
    gather(batch, tally, aggregates, keys);
    for (const Aggregate& aggregate : aggregates) {
        apply(aggregate, std::span<const std::uint64_t>(keys).subspan(
                             aggregate.key_begin, aggregate.key_cursor - aggregate.key_begin));
    }
}

void KarvoEngine::process_batch(std::span<const TypedRow> rows) const {
    CellBatch batch;
    std::size_t cell_count = 0;
    for (const TypedRow& row : rows) {
        cell_count += row.size();
    }
    batch.cells.reserve(cell_count);
    // Each distinct name becomes one column entry, so a batch costs one lookup per name.
    // Not keyed by FxHash: names can be crafted to share one FxHash, and this index has
    // no ordered buckets to absorb that.
    std::unordered_map<std::string_view, std::uint32_t> index;
    for (const TypedRow& row : rows) {
        for (const auto& [name, value] : row) {
            const auto [it, fresh] =
                index.try_emplace(name, static_cast<std::uint32_t>(batch.columns.size()));
            if (fresh) {
                batch.columns.push_back(name);
            }
            batch.cells.push_back(make_cell(it->second, value));
        }
    }
    process_cells(batch);
}

std::string KarvoEngine::flush_and_reset() const {
    // Swap before reading anything, so no cell is counted in two reports.
    const ColumnMapRef previous = columns.swap(ColumnMap::with_capacity_and_hasher(0));
    ReportMap report;
    previous->iter([&report](std::string_view name, const StatsRef& stats) {
        report.push_back(ReportEntry{std::string(name), stats->sequence, snapshot_of(*stats)});
    });
    std::sort(report.begin(), report.end(),
              [](const ReportEntry& a, const ReportEntry& b) { return a.sequence < b.sequence; });
    return write_report(report);
}

}  // namespace profiler
