// SummaryPart: what a batch's cells of one column add to the column summary, kept beside
// the column part (ColumnPart::summary) when the engine keeps summaries.
//
// It folds, in batch order: the count of each kind of value (Origin), the zeros, the
// negatives, the NaN floats and the infinities; the finite numbers themselves (for the
// exact sums and the quantile sketch, which take them as a sequence); the text count and
// the smallest, largest and summed length in code points; and the top-values sequence,
// one key per non-null value with its representative, a number by its double, a text by
// its first 256 code points copied into the part's own arena (the reader's text does not
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
// Representatives: each key of the top-values sequence has a kind, a byte: a finite number
// (its double is the next one of `numbers`, the very value the sums and the sketch take),
// an infinity of either sign, or a text (the next one in `texts`, each a 2-byte size, as
// kMaxTextBytes fits, then its bytes). So a representative is found again by walking the
// kinds in order (RepresentativeCursor), and a number's is not stored twice. Applying asks
// for the representatives of new keys only, in ascending order, so the walk is one pass.
//
// Memory: vectors grow geometrically and are kept by the part; nothing is allocated per
// cell in steady state beyond the sequences themselves (8 bytes per finite number, 9 per
// non-null value, and the cut text of each text with its 2-byte size).
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
    // What a key of top_keys stands for (see above).
    enum class KeyKind : std::uint8_t { kNumber, kPlusInfinity, kMinusInfinity, kText };

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
    std::vector<std::uint64_t> top_keys;  // sketch keys of non-null values, in order
    std::vector<KeyKind> key_kinds;       // one per key
    std::vector<char> texts;              // cut texts, each after its 2-byte size
    bool lost = false;                    // a vector failed to grow: see above

  private:
    static_assert(top_values::kMaxTextBytes <= 0xFFFF, "a cut text's size fits 2 bytes");

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
        KeyKind kind = KeyKind::kNumber;
        if (x - x != 0.0) {  // an infinity
            kind = x > 0.0 ? KeyKind::kPlusInfinity : KeyKind::kMinusInfinity;
            ++inf;
        } else {
            numbers.push_back(x);
            zeros += x == 0.0;
            negatives += x < 0.0;
        }
        top_keys.push_back(key);
        key_kinds.push_back(kind);
    }

    void add_text(std::string_view text, std::uint64_t key) {
        const std::uint64_t length = common::code_point_count(text);
        ++text_count;
        min_length = length < min_length ? length : min_length;
        max_length = length > max_length ? length : max_length;
        sum_length += length;
        const std::string_view cut = top_values::cut_text(text);
        const auto size = static_cast<std::uint16_t>(cut.size());
        const char size_bytes[2] = {static_cast<char>(size & 0xFF), static_cast<char>(size >> 8)};
        top_keys.push_back(key);
        key_kinds.push_back(KeyKind::kText);
        texts.insert(texts.end(), size_bytes, size_bytes + 2);
        texts.insert(texts.end(), cut.begin(), cut.end());
    }
};

// The representatives of a part's top-values sequence, asked for in ascending order of
// key index (as TopValues::update_many asks): walks the kinds once, in step with the
// numbers and texts they stand for.
class RepresentativeCursor {
  public:
    explicit RepresentativeCursor(const SummaryPart& part) : part_(&part) {}

    top_values::Representative at(std::size_t i) {
        while (next_ < i) {
            step();
        }
        top_values::Representative r;
        switch (part_->key_kinds[i]) {
            case SummaryPart::KeyKind::kNumber:
                r = top_values::Representative::of_number(part_->numbers[number_]);
                break;
            case SummaryPart::KeyKind::kPlusInfinity:
                r = top_values::Representative::of_number(std::numeric_limits<double>::infinity());
                break;
            case SummaryPart::KeyKind::kMinusInfinity:
                r = top_values::Representative::of_number(-std::numeric_limits<double>::infinity());
                break;
            case SummaryPart::KeyKind::kText:
                r = top_values::Representative::of_text(
                    std::string_view(part_->texts.data() + text_ + 2, text_size()));
                break;
        }
        step();
        return r;
    }

  private:
    std::size_t text_size() const {
        const auto* at = reinterpret_cast<const unsigned char*>(part_->texts.data() + text_);
        return static_cast<std::size_t>(at[0]) | static_cast<std::size_t>(at[1]) << 8;
    }
    // Past key next_: its number or its text.
    void step() {
        const SummaryPart::KeyKind kind = part_->key_kinds[next_++];
        if (kind == SummaryPart::KeyKind::kNumber) {
            ++number_;
        } else if (kind == SummaryPart::KeyKind::kText) {
            text_ += 2 + text_size();
        }
    }

    const SummaryPart* part_;
    std::size_t next_ = 0;    // the key whose representative comes next
    std::size_t number_ = 0;  // its place in numbers, when it is a finite number
    std::size_t text_ = 0;    // its place in texts, when it is a text
};

}  // namespace profiler
