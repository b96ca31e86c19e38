// ColumnStatsSnapshot and the report that flush_and_reset writes.
//
// A snapshot is a plain copy of one column's figures taken during a flush: the counters,
// the bounds (absent while still at their initial infinities) and the sketch estimate
// rounded to an integer. The report is one compact JSON object with a member per column,
// in the order in which the profile first saw the columns, each holding the five keys
// "total_count", "null_count", "min_val", "max_val", "estimated_cardinality" in that order.
//
// Thread safety: snapshot_of reads a record that batches may still be writing: counters
// and bounds by atomic loads, the estimate under the column's sketch_mutex. The caller
// may hold a column map shard lock (shard lock before sketch_mutex). The rest is pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "profiler/column_stats.h"

namespace profiler {

struct ColumnStatsSnapshot {
    std::uint64_t total_count = 0;
    std::uint64_t null_count = 0;
    std::optional<double> min_val;
    std::optional<double> max_val;
    std::uint64_t estimated_cardinality = 0;
    friend bool operator==(const ColumnStatsSnapshot&, const ColumnStatsSnapshot&) = default;
};

struct ReportEntry {
    std::string name;
    std::uint64_t sequence = 0;  // the record's creation order within its map
    ColumnStatsSnapshot snapshot;
};

// One column's report figures with its summary, for the summary view.
struct SummaryEntry {
    std::string name;
    std::uint64_t sequence = 0;
    ColumnStatsSnapshot snapshot;
    std::optional<ColumnSummary> summary;  // absent: the engine keeps none
};

// The report's columns; a map's names are unique, so a list of entries is enough.
using ReportMap = std::vector<ReportEntry>;

// Rounds an estimate to the nearest integer, halves away from zero, saturating to u64:
// NaN and negative values give 0, values beyond 2^64 - 1 give 2^64 - 1.
std::uint64_t round_estimate(double estimate);

// Copies one column's figures; takes the column's sketch_mutex for the estimate.
ColumnStatsSnapshot snapshot_of(ColumnStats& stats);

// Writes the report as compact JSON, entries in the order given ("{}" when empty).
std::string write_report(const ReportMap& report);

// Writes the summary view as compact JSON: per column, in the order given, the report's
// five figures, then "types", "numbers", "text" and "top_values" (summary_report.cpp).
std::string write_summary_report(const std::vector<SummaryEntry>& entries);

}  // namespace profiler
