// ColumnSummary: the column summary an engine that keeps summaries holds per column, beside
// its counts, bounds and cardinality sketch (column_stats.h).
//
// It holds the count of each kind of value (Origin), the zeros, negatives, NaN floats and
// infinities, the exact sum and sum of squares of the finite numbers (ExactMoments: the
// mean and deviation), their quantile sketch (QuantileSketch, k = 600, seeded from the
// profile's seed), the most frequent non-null values (TopValues, 64 entries, keyed by the
// cells' sketch keys, so that 1, 1.0 and True are one value) and the text count and
// lengths. Each room is a pure function of the sequence of updates and merges, so a
// column's summary is one of the sequence of parts and summaries applied to it.
//
// `known` is false once anything whose summary is not known reached the column: a part
// made without a summary part, a stored profile of the first version, a room that could
// not grow (bad_alloc) or would pass its count limit. An unknown summary stays unknown
// until the profile is flushed; it reports null for every figure.
//
// Failure: apply and merge never throw. Every room either takes its whole input or throws
// leaving a state from which the summary is marked unknown; counts, bounds and the
// cardinality sketch of the same write are unaffected, so a write stays all or nothing
// for everything the report shows.
//
// Thread safety: none of its own; its record serialises every call under sketch_mutex
// (column_stats.h), the innermost lock, and nothing here takes a lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/byte_io.h"
#include "exact_sum/exact_moments.h"
#include "profiler/summary_part.h"
#include "profiler/typed_value.h"
#include "quantiles/quantile_sketch.h"
#include "top_values/top_values.h"

namespace profiler {

// The number of top values a summary reports, of the 64 it keeps.
inline constexpr std::size_t kReportedTopValues = 10;

class ColumnSummary {
  public:
    explicit ColumnSummary(std::uint64_t seed) : quantiles(seed) {}

    // Adds a batch's part; a null part (a reader that kept no summary) makes it unknown.
    void apply(const SummaryPart* part) noexcept;
    // Adds another column's summary, as if its values came after this one's.
    void merge(const ColumnSummary& other) noexcept;
    // From here on nothing is known; the rooms' memory goes back.
    void mark_unknown() noexcept;

    std::size_t memory_bytes() const {
        return sizeof(*this) + moments.memory_bytes() + quantiles.memory_bytes() +
               top.memory_bytes() - sizeof(moments) - sizeof(quantiles) - sizeof(top);
    }

    // Stored form: a byte "known" (0 or 1), then for a known summary the six kind counts,
    // zeros, negatives, nan, inf (varints), the exact sums, the quantile sketch and the top
    // values (each its room's own form), and the text count (varint) followed, when not 0,
    // by the smallest, largest and summed lengths (varints). read checks every field and
    // the figures against each other and against the column's total count.
    void write(common::ByteWriter& out) const;
    static ColumnSummary read(common::ByteReader& in, std::uint64_t seed, std::uint64_t total);

    bool known = true;
    std::array<std::uint64_t, kOriginCount> types{};
    std::uint64_t zeros = 0;
    std::uint64_t negatives = 0;
    std::uint64_t nan = 0;
    std::uint64_t inf = 0;
    exact_sum::ExactMoments moments;
    quantiles::QuantileSketch quantiles;
    top_values::TopValues top;
    std::uint64_t text_count = 0;
    std::uint64_t min_length = 0;  // the three lengths are 0 while text_count is
    std::uint64_t max_length = 0;
    std::uint64_t sum_length = 0;

  private:
    // Nothing was ever added (a fresh summary).
    bool is_empty() const;
    void add_counts(const SummaryPart& part);
    void add_text_stats(std::uint64_t count, std::uint64_t min, std::uint64_t max,
                        std::uint64_t sum);
};

}  // namespace profiler
