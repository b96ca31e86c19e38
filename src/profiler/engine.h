// KarvoEngine: the profiling engine that each Profiler owns.
//
// It holds the current column map in a ColumnMapSlot and offers three operations:
// construction (an empty map), batch ingestion and flush_and_reset. A batch pins the
// current map once and writes into it to its end; a flush waits for the writes under
// way, then swaps in a fresh map before it reads anything, so no cell is counted in two
// reports and none in no report.
//
// Ingestion has one path: every reader (the Python row reader, the JSON Lines reader, the
// Arrow reader) hands the engine a ColumnBatch (column_batch.h) through process_columns.
// Each part is applied to its column's record (ColumnStats::apply_claimed). The stored
// form and merging live in engine_merge.cpp, the report in snapshot.h.
//
// Every write (a batch, a merge) is all or nothing: it first claims every record it will
// touch and reserves the room they need (write_claims.h), which is where it can fail, and
// then applies, which cannot. Readers (report, export_state, column_names, a flush) skip
// a record that a write under way has created but not yet applied to.
//
// This header knows the column map by name only (column_map_slot.h); its shards, locks
// and name hashing are column_map.h's, which only the engine's sources include.
//
// The engine also owns the secret keys under which text values and ints that no double
// holds become sketch keys (value_key.h): drawn from the operating system's random source
// when the engine is made, or given, so that engines in different processes that share a
// secret key values alike. Cells given to the engine must be keyed under value_keys().
//
// Names come from callers and may be crafted to collide under any hash they can compute.
// Every index of names a call builds (gathering typed rows per column, checking that a
// batch's names are distinct) therefore uses the pinned map's NameHash, whose key callers cannot
// know, as the map's own tables do; a flush builds no index of names (its report is a
// list in creation order).
//
// Thread safety: every operation takes the engine by shared reference; any number of
// batches and flushes may run at once. Every write (a batch, a merge) holds `writing_`
// shared from the moment it pins the map to its last store; a flush takes it exclusively
// only around its swap. So when the flush reads the map it swapped out, every write that
// pinned that map has ended, and every later one pins the fresh map: each cell is in
// exactly one report, whichever thread writes or flushes, with or without the GIL. No
// Python code runs while a write holds it, so a flush from a hook cannot wait on its own
// caller. Lock order: writing_, then a shard lock, then a column's sketch_mutex (the
// flush nests the last two; ingestion holds one of them at a time, but for a failing
// write's abandon, which may take a shard lock alone).
#pragma once

#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "profiler/column_batch.h"
#include "profiler/column_map_slot.h"
#include "profiler/panic.h"
#include "profiler/profile_state.h"
#include "profiler/second_thread.h"
#include "profiler/snapshot.h"
#include "profiler/typed_value.h"
#include "profiler/value_key.h"

namespace profiler {

// A merge refused because a column's counts would pass 2^64 - 1: nothing was merged.
class CountOverflow : public std::overflow_error {
  public:
    using std::overflow_error::overflow_error;
};

class KarvoEngine {
  public:
    KarvoEngine();  // an empty profile, with value keys from the OS random source
    // An empty profile whose values are keyed under the given keys.
    explicit KarvoEngine(const ValueKeys& keys);

    // The keys under which this engine's cells are to be made.
    const ValueKeys& value_keys() const { return keys_; }
    // The same, and every column's sketch takes these keys instead of drawing its own, so
    // that profiles made with equal keys, in any process, can be merged.
    KarvoEngine(const ValueKeys& keys, const sketch::SketchKeys& sketch_keys);
    // The same, and every column keeps a column summary (column_summary.h) whose quantile
    // sketch is seeded with summary_seed; value_keys() then asks readers for summary parts.
    KarvoEngine(const ValueKeys& keys, const sketch::SketchKeys& sketch_keys,
                std::uint64_t summary_seed);
    bool keeps_summaries() const { return summary_seed.has_value(); }

    // Applies a batch folded per column, the form every reader produces: each part is
    // applied to its record in turn, creating records in part order (parts without cells
    // create nothing). The result equals applying the batch's cells one by one in batch
    // order. Names that are not distinct, or that differ in number from the parts, are an
    // internal fault: Panic before anything is ingested. All or nothing: a batch that
    // throws (bad_alloc while records are made or room reserved) has applied nothing and
    // left no record behind. With a second thread lent, a large batch applies its parts
    // on both threads, each part once (records are independent), with the same result.
    void process_columns(const ColumnBatch& batch, SecondThread* helper = nullptr) const;
    // Takes the current profile out as compact JSON ("{}" when empty) and starts afresh.
    std::string flush_and_reset() const;

    // Stored form and merging (engine_merge.cpp). export_state copies the profile out,
    // columns in report order, sketches with temp_set folded in; it changes nothing.
    ProfileState export_state() const;
    // Adds a profile's columns in its order: counts add, bounds follow the strict rule
    // (this profile's value stays on ties), sketches join. A column this profile lacks
    // is created after its own. The result equals having observed the rows behind
    // `other` after this profile's own. Sketches must share keys with this engine's.
    // Throws CountOverflow, having merged nothing, when a column's counts would pass
    // 2^64 - 1 (they would wrap, and the sum could no longer be stored). All or nothing
    // as a batch is: a merge that throws bad_alloc has merged nothing.
    void merge_state(const ProfileState& other) const;
    // The report flush_and_reset would write, without starting afresh.
    std::string report() const;
    // The column names in report order.
    std::vector<std::string> column_names() const;
    // Each column's report figures and a copy of its summary (absent when the engine keeps
    // none), in report order.
    std::vector<SummaryEntry> summaries() const;

  private:
    // The map is known here by name only (column_map_slot.h): code that holds an engine
    // sees none of its shards, locks or name hashing.
    const ValueKeys keys_;
    // The record stored under name in map, created if the map has none, with one more
    // claim on it (column_stats.h); the caller applies to it or abandons it.
    std::shared_ptr<ColumnStats> claim(ColumnMap& map, std::string_view name) const;
    void apply_columns(ColumnMap& map, const ColumnBatch& batch, SecondThread* helper) const;

    // Held shared by every write for its whole length, exclusively by a flush's swap.
    mutable std::shared_mutex writing_;
    ColumnMapSlot columns;
    std::optional<sketch::SketchKeys> sketch_keys;  // absent: each sketch draws its own
    std::optional<std::uint64_t> summary_seed;      // absent: no column summaries
};

}  // namespace profiler
