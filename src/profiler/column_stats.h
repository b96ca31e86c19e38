// ColumnStats: the statistics the engine keeps for one column.
//
// Fields: total_count (every cell, Null included), null_count, min_bits and max_bits (the
// bit patterns of the smallest and largest numeric value; +inf and -inf mean "none yet"),
// and a cardinality sketch of the distinct non-null values behind sketch_mutex, with, in an
// engine that keeps them, the column summary (column_summary.h) behind the same lock. A record
// also carries the sequence number its map gave it at creation, which orders the report.
//
// A record takes a batch one column part at a time (apply). What a value contributes, its
// numeric reading and its sketch key, is stated once, where a part takes a cell
// (ColumnPart::add, column_batch.h); the keys themselves are value_key.h's.
//
// Invariants:
//  - min_bits and max_bits never hold NaN; a bound is only ever replaced by a strictly
//    smaller (larger) value, so of equal values (0.0 and -0.0 included) the first stays.
//  - the counters only grow (modulo 2^64); each part adds its cells to total_count before
//    it changes anything else of the record.
//  - Null never reaches the sketch; text never touches the bounds.
//
// Writes all or nothing. A write (a batch, a merge) first claims every record it will
// touch and reserves room in each sketch (reserve), which may fail with bad_alloc having
// changed no statistic; only then does it apply, and applying a reserved part
// (apply_claimed) allocates nothing and cannot fail. `claims` counts the writes between
// those steps, and `published` tells whether any write has applied to the record, so that
// readers skip a record that a write under way has just created and the engine can take
// such a record out of its map again when that write fails (engine.cpp).
//
// Thread safety: any number of threads may apply parts to one record at once. Counters and
// bounds are relaxed atomics (compare-and-swap loops for the bounds); the sketch is read
// and written only under sketch_mutex, which is the innermost lock of the engine: no other
// lock is taken while it is held. Lock order: a column map shard lock, then sketch_mutex.
// The summary is read and written under sketch_mutex too, in the same hold as the sketch;
// a write applies it after its counts and bounds, as it does the sketch.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "profiler/column_batch.h"
#include "profiler/column_summary.h"
#include "profiler/typed_value.h"
#include "sketch/cardinality_sketch.h"

namespace profiler {

inline constexpr std::uint64_t kPositiveInfinityBits = 0x7ff0000000000000ULL;
inline constexpr std::uint64_t kNegativeInfinityBits = 0xfff0000000000000ULL;

class ColumnStats;
// Whether a write has applied to the record; readers skip one that a write under way has
// only just created.
bool is_published(const ColumnStats& stats);

class ColumnStats {
  public:
    // A fresh record: zero counts, no bounds, an empty sketch whose keys come from the
    // calling thread's key state.
    explicit ColumnStats(std::uint64_t sequence = 0) : sequence(sequence) {}
    // A fresh record whose sketch takes the given keys, so that the sketches of profiles
    // made with the same keys can be merged.
    ColumnStats(std::uint64_t sequence, const sketch::SketchKeys& keys)
        : sketch(keys.value_key, keys.temp_set_key), sequence(sequence) {}
    static std::shared_ptr<ColumnStats> create(std::uint64_t sequence);
    static std::shared_ptr<ColumnStats> create(std::uint64_t sequence,
                                               const sketch::SketchKeys& keys);
    // The same, with a column summary whose quantile sketch is seeded with summary_seed.
    static std::shared_ptr<ColumnStats> create(std::uint64_t sequence,
                                               const sketch::SketchKeys& keys,
                                               std::uint64_t summary_seed);

    ColumnStats(const ColumnStats&) = delete;
    ColumnStats& operator=(const ColumnStats&) = delete;

    // Applies one column's part of a batch: total_count, then null_count, the maximum, the
    // minimum, and the sketch keys under one hold of sketch_mutex. The result equals
    // applying the part's cells one by one, in order.
    //
    // Readers that copy a record while writes run (export_state) read in the reverse
    // order: sketch, minimum, maximum, null_count, total_count, with acquire loads. Every
    // store after the first is a release (or under the mutex), so whatever a reader sees
    // of one write, it also sees everything that write stored before: a sketch entry
    // comes with its non-null count, a bound with its count and, for a minimum, with the
    // maximum of the same write, and a null with its total. What the reader may see is a
    // maximum whose minimum is still on its way; export_state completes it.
    void apply(const ColumnPart& part);
    // Reserves sketch room for the part's keys: after it, apply_claimed(part) cannot fail.
    // Throws bad_alloc having changed nothing but the sketch's room.
    void reserve(const ColumnPart& part);
    // Gives back reserve(part)'s room, for a write that applies nothing after all.
    void unreserve(const ColumnPart& part) noexcept;
    // Applies a reserved part as apply does, gives back its room, marks the record
    // published and ends one claim.
    void apply_claimed(const ColumnPart& part) noexcept;

    // Lowers the minimum to x if x is strictly smaller (x must not be NaN).
    void lower_min(double x);
    // Raises the maximum to x if x is strictly larger (x must not be NaN).
    void raise_max(double x);
    // Inserts keys into the sketch under one hold of sketch_mutex.
    void insert_keys(std::span<const std::uint64_t> keys);

    double min_value() const {
        return std::bit_cast<double>(min_bits.load(std::memory_order_relaxed));
    }
    double max_value() const {
        return std::bit_cast<double>(max_bits.load(std::memory_order_relaxed));
    }

    std::atomic<std::uint64_t> total_count{0};
    std::atomic<std::uint64_t> null_count{0};
    std::atomic<std::uint64_t> min_bits{kPositiveInfinityBits};
    std::atomic<std::uint64_t> max_bits{kNegativeInfinityBits};
    std::mutex sketch_mutex;
    sketch::CardinalitySketch sketch;  // guarded by sketch_mutex
    std::unique_ptr<ColumnSummary> summary;  // guarded by sketch_mutex; null: none kept
    // Order of creation within its map; the report lists columns in this order.
    const std::uint64_t sequence;
    // Writes that hold a claim on the record (changed under its map shard's lock, or by
    // the claim's own end), and whether any write has applied to it.
    std::atomic<std::uint32_t> claims{0};
    std::atomic<bool> published{false};

  private:
    // The counts, then the bounds, of apply's order (the sketch comes last).
    void apply_counts_and_bounds(const ColumnPart& part) noexcept;
    // The sketch keys and the summary part, under sketch_mutex; reserved room is used and
    // given back when `reserved`.
    void apply_sketch_and_summary(const ColumnPart& part, bool reserved) noexcept;
};

inline bool is_published(const ColumnStats& stats) {
    return stats.published.load(std::memory_order_acquire);
}

}  // namespace profiler
