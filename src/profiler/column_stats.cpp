#include "profiler/column_stats.h"

namespace profiler {

std::shared_ptr<ColumnStats> ColumnStats::create(std::uint64_t sequence) {
    return std::make_shared<ColumnStats>(sequence);
}

std::shared_ptr<ColumnStats> ColumnStats::create(std::uint64_t sequence,
                                                 const sketch::SketchKeys& keys) {
    return std::make_shared<ColumnStats>(sequence, keys);
}

std::shared_ptr<ColumnStats> ColumnStats::create(std::uint64_t sequence,
                                                 const sketch::SketchKeys& keys,
                                                 std::uint64_t summary_seed) {
    auto stats = std::make_shared<ColumnStats>(sequence, keys);
    stats->summary = std::make_unique<ColumnSummary>(summary_seed);
    return stats;
}

void ColumnStats::apply(const ColumnPart& part) {
    apply_counts_and_bounds(part);
    insert_keys(part.keys);
    if (summary != nullptr) {
        std::lock_guard<std::mutex> hold(sketch_mutex);
        summary->apply(part.summary.get());
    }
}

void ColumnStats::apply_counts_and_bounds(const ColumnPart& part) noexcept {
    // The order is the one export_state reads against (column_stats.h).
    total_count.fetch_add(part.cells, std::memory_order_relaxed);
    if (part.nulls > 0) {
        null_count.fetch_add(part.nulls, std::memory_order_release);
    }
    raise_max(part.max);
    lower_min(part.min);
}

void ColumnStats::reserve(const ColumnPart& part) {
    const std::span<const std::uint64_t> keys = part.keys;
    if (keys.empty()) {
        return;
    }
    std::lock_guard<std::mutex> hold(sketch_mutex);
    sketch.reserve(keys.size());
}

void ColumnStats::unreserve(const ColumnPart& part) noexcept {
    const std::span<const std::uint64_t> keys = part.keys;
    if (keys.empty()) {
        return;
    }
    std::lock_guard<std::mutex> hold(sketch_mutex);
    sketch.release(keys.size());
}

void ColumnStats::apply_claimed(const ColumnPart& part) noexcept {
    // apply's stores in apply's order; the sketch then fills the room reserve made.
    apply_counts_and_bounds(part);
    apply_sketch_and_summary(part, true);
    published.store(true, std::memory_order_release);
    claims.fetch_sub(1, std::memory_order_release);
}

void ColumnStats::apply_sketch_and_summary(const ColumnPart& part, bool reserved) noexcept {
    const std::span<const std::uint64_t> keys = part.keys;
    if (keys.empty() && summary == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(sketch_mutex);
    if (keys.size() == 1) {
        sketch.insert(keys.front());
    } else if (!keys.empty()) {
        sketch.insert_many(keys);
    }
    if (reserved && !keys.empty()) {
        sketch.release(keys.size());
    }
    if (summary != nullptr) {
        summary->apply(part.summary.get());
    }
}

void ColumnStats::lower_min(double x) {
    std::uint64_t seen = min_bits.load(std::memory_order_relaxed);
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    while (std::bit_cast<double>(seen) > x) {
        if (min_bits.compare_exchange_weak(seen, bits, std::memory_order_release,
                                           std::memory_order_relaxed)) {
            return;
        }
    }
}

void ColumnStats::raise_max(double x) {
    std::uint64_t seen = max_bits.load(std::memory_order_relaxed);
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    while (std::bit_cast<double>(seen) < x) {
        if (max_bits.compare_exchange_weak(seen, bits, std::memory_order_release,
                                           std::memory_order_relaxed)) {
            return;
        }
    }
}

void ColumnStats::insert_keys(std::span<const std::uint64_t> keys) {
    if (keys.empty()) {
        return;
    }
    std::lock_guard<std::mutex> hold(sketch_mutex);
    if (keys.size() == 1) {
        sketch.insert(keys.front());
    } else {
        sketch.insert_many(keys);
    }
}

}  // namespace profiler
