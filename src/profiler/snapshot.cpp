#include "profiler/snapshot.h"

#include <cmath>
#include <mutex>

#include "report/json_writer.h"

namespace profiler {

std::uint64_t round_estimate(double estimate) {
    const double rounded = std::round(estimate);
    if (!(rounded > 0.0)) {
        return 0;  // NaN, zero and negative values
    }
    if (rounded >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(rounded);
}

namespace {
std::optional<double> bound(std::uint64_t bits, std::uint64_t absent_bits) {
    if (bits == absent_bits) {
        return std::nullopt;
    }
    return std::bit_cast<double>(bits);
}
}  // namespace

ColumnStatsSnapshot snapshot_of(ColumnStats& stats) {
    ColumnStatsSnapshot snapshot;
    snapshot.min_val = bound(stats.min_bits.load(std::memory_order_relaxed), kPositiveInfinityBits);
    snapshot.max_val = bound(stats.max_bits.load(std::memory_order_relaxed), kNegativeInfinityBits);
    snapshot.total_count = stats.total_count.load(std::memory_order_relaxed);
    snapshot.null_count = stats.null_count.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> hold(stats.sketch_mutex);
    snapshot.estimated_cardinality = round_estimate(stats.sketch.count());
    return snapshot;
}

namespace {
void write_snapshot(report::Buffer& out, const ColumnStatsSnapshot& snapshot) {
    report::ObjectWriter object(out);
    object.key("total_count");
    report::write_u64(out, snapshot.total_count);
    object.key("null_count");
    report::write_u64(out, snapshot.null_count);
    object.key("min_val");
    report::write_optional_double(out, snapshot.min_val);
    object.key("max_val");
    report::write_optional_double(out, snapshot.max_val);
    object.key("estimated_cardinality");
    report::write_u64(out, snapshot.estimated_cardinality);
    object.finish();
}
}  // namespace

std::string write_report(const ReportMap& report) {
    report::Buffer out;
    out.reserve(128);
    report::ObjectWriter columns(out);
    for (const ReportEntry& entry : report) {
        columns.key(entry.name);
        write_snapshot(out, entry.snapshot);
    }
    columns.finish();
    return out;
}

}  // namespace profiler
