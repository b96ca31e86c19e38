// ProfileState: a profile copied out of an engine as plain values, the form in which
// profiles are stored and merged.
//
// Each column keeps what its ColumnStats holds (its summary too, when kept) (counts, the raw bit patterns of its
// bounds, +inf and -inf meaning none yet) and its sketch's state (sketch/
// cardinality_sketch.h) without keys: the keys are the engine's, and only engines made
// with equal keys merge. Columns stand in report order.
//
// Thread safety: plain values; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "profiler/column_stats.h"
#include "sketch/cardinality_sketch.h"

namespace profiler {

struct ColumnState {
    std::string name;
    std::uint64_t total_count = 0;
    std::uint64_t null_count = 0;
    std::uint64_t min_bits = kPositiveInfinityBits;
    std::uint64_t max_bits = kNegativeInfinityBits;
    sketch::SketchState sketch;
    // The column summary; absent when the profile keeps none. A profile that keeps them
    // reads a column stored without one as an unknown summary.
    std::optional<ColumnSummary> summary;
};

using ProfileState = std::vector<ColumnState>;

}  // namespace profiler
