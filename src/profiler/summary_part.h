// SummaryPart: what a batch's cells of one column add to the column summary, kept beside
// the column part (ColumnPart::summary) when the engine keeps summaries.
//
// It folds, in batch order: the count of each kind of value (Origin), the zeros, the
// negatives, the NaN floats and the infinities; the finite numbers themselves (for the
// exact sums and the quantile sketch, which take them as a sequence); the text count and
// the smallest, largest and summed length in code points; and the top-values sequence,
// one (key, representative) per non-null value, a number by its double, a text by its
// first 256 code points copied into the part's own arena (the reader's text does not
// outlive the call that folds it). Applying the part to a column summary
// (column_summary.h) then gives what taking each cell in turn would.
//
// A number here is any cell with a numeric reading (an Int, a Float); a finite one joins
// the numbers, an infinite one counts under `inf` only. NaN is a Null cell of origin
// Float. Texts are Str cells, measured as len() measures them.
//
// Failure: adding never throws. Should a vector fail to grow, the part is marked `lost`
// and stops collecting; the summary it is applied to then becomes unknown, while the
// rest of the part (counts, bounds, sketch keys) stands.
//
// Memory: vectors grow geometrically and are kept by the part; nothing is allocated per
// cell in steady state beyond the sequences themselves (8 bytes per finite number, 24 per
// non-null value, and the cut text of each text).
//
// Thread safety: plain values; no shared state.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "profiler/typed_value.h"
#include "top_values/top_values.h"

namespace profiler {

struct SummaryPart {
    // The representative of one value of the top-values sequence: a number's bits, or a
    // text's place in `texts`.
    struct Representative {
        std::uint64_t payload;  // double bits, or the text's offset
        std::uint32_t text_size;
        bool is_text;
    };

    void add(const Cell& cell, std::string_view text) noexcept {
        if (lost) [[unlikely]] {
            return;
        }
        try {
            take(cell, text);
        } catch (const std::bad_alloc&) {
            lost = true;
        }
    }

    std::array<std::uint64_t, kOriginCount> types{};
    std::uint64_t zeros = 0;
    std::uint64_t negatives = 0;
    std::uint64_t nan = 0;
    std::uint64_t inf = 0;
    std::vector<double> numbers;  // finite numeric readings, batch order
    std::uint64_t text_count = 0;
    std::uint64_t min_length = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t max_length = 0;
    std::uint64_t sum_length = 0;
    std::vector<std::uint64_t> top_keys;          // sketch keys of non-null values, in order
    std::vector<Representative> representatives;  // one per key
    std::vector<char> texts;                      // cut texts, back to back
    bool lost = false;                            // a vector failed to grow: see above

    std::string_view text_of(const Representative& r) const {
        return {texts.data() + r.payload, r.text_size};
    }

  private:
    void take(const Cell& cell, std::string_view text) {
        const auto origin = static_cast<std::size_t>(cell.origin);
        types[origin < kOriginCount ? origin : kOriginCount - 1] += 1;
        switch (cell.tag) {
            case Tag::Null:
                nan += cell.origin == Origin::Float;
                return;
            case Tag::Int:
                number(static_cast<double>(static_cast<std::int64_t>(cell.payload)), cell.key);
                return;
            case Tag::Float:
                number(std::bit_cast<double>(cell.payload), cell.key);
                return;
            case Tag::Str:
                add_text(text, cell.key);
                return;
        }
    }

    void number(double x, std::uint64_t key) {
        if (x != x) [[unlikely]] {  // readers make NaN a Null cell; a NaN Float counts so too
            ++nan;
            return;
        }
        if (x - x != 0.0) {  // an infinity
            ++inf;
        } else {
            zeros += x == 0.0;
            negatives += x < 0.0;
            numbers.push_back(x);
        }
        top_keys.push_back(key);
        representatives.push_back(Representative{std::bit_cast<std::uint64_t>(x), 0, false});
    }

    void add_text(std::string_view text, std::uint64_t key) {
        const std::uint64_t length = common::code_point_count(text);
        ++text_count;
        min_length = length < min_length ? length : min_length;
        max_length = length > max_length ? length : max_length;
        sum_length += length;
        const std::string_view cut = top_values::cut_text(text);
        const std::uint64_t offset = texts.size();
        top_keys.push_back(key);
        representatives.push_back(
            Representative{offset, static_cast<std::uint32_t>(cut.size()), true});
        texts.insert(texts.end(), cut.begin(), cut.end());
    }
};

}  // namespace profiler
