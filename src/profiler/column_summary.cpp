#include "profiler/column_summary.h"

#include <limits>
#include <string>

namespace profiler {

namespace {

// a + b, or false when it would pass 2^64 - 1.
bool add_to(std::uint64_t& a, std::uint64_t b) {
    return !__builtin_add_overflow(a, b, &a);
}

}  // namespace

bool ColumnSummary::is_empty() const {
    for (const std::uint64_t count : types) {
        if (count != 0) {
            return false;
        }
    }
    return moments.count() == 0 && quantiles.count() == 0 && top.total() == 0 && text_count == 0;
}

void ColumnSummary::mark_unknown() noexcept {
    known = false;
    types = {};
    zeros = negatives = nan = inf = 0;
    text_count = min_length = max_length = sum_length = 0;
    // The rooms keep what they hold; they are never read again until the flush drops them.
}

void ColumnSummary::add_text_stats(std::uint64_t count, std::uint64_t min, std::uint64_t max,
                                   std::uint64_t sum) {
    if (count == 0) {
        return;
    }
    min_length = text_count == 0 || min < min_length ? min : min_length;
    max_length = text_count == 0 || max > max_length ? max : max_length;
    if (!add_to(text_count, count) || !add_to(sum_length, sum)) {
        throw std::overflow_error("text counts pass 2^64 - 1");
    }
}

void ColumnSummary::add_counts(const SummaryPart& part) {
    bool fits = true;
    for (std::size_t i = 0; i < kOriginCount; ++i) {
        fits = add_to(types[i], part.types[i]) && fits;
    }
    fits = add_to(zeros, part.zeros) && fits;
    fits = add_to(negatives, part.negatives) && fits;
    fits = add_to(nan, part.nan) && fits;
    fits = add_to(inf, part.inf) && fits;
    if (!fits) {
        throw std::overflow_error("counts pass 2^64 - 1");
    }
    add_text_stats(part.text_count, part.min_length, part.max_length, part.sum_length);
}

void ColumnSummary::apply(const SummaryPart* part) noexcept {
    if (!known) {
        return;
    }
    if (part == nullptr || part->lost) {
        mark_unknown();
        return;
    }
    try {
        add_counts(*part);
        moments.add_many(part->numbers);
        quantiles.update_many(part->numbers);
        RepresentativeCursor representatives(*part);
        top.update_many(part->top_keys,
                        [&representatives](std::size_t i) { return representatives.at(i); });
    } catch (...) {  // bad_alloc, or a count past its room's limit
        mark_unknown();
    }
}

void ColumnSummary::merge(const ColumnSummary& other) noexcept {
    if (!known) {
        return;
    }
    if (!other.known) {
        mark_unknown();
        return;
    }
    try {
        if (is_empty()) {
            // Having seen nothing, this summary becomes other's as it is: a profile read
            // back from its stored form, or a read's scratch profile merged into a fresh
            // one, keeps the very state (and stored bytes) it had.
            *this = other;
            return;
        }
        SummaryPart counts;
        counts.types = other.types;
        counts.zeros = other.zeros;
        counts.negatives = other.negatives;
        counts.nan = other.nan;
        counts.inf = other.inf;
        counts.text_count = other.text_count;
        counts.min_length = other.min_length;
        counts.max_length = other.max_length;
        counts.sum_length = other.sum_length;
        add_counts(counts);
        moments.merge(other.moments);
        quantiles.merge(other.quantiles);
        top.merge(other.top);
    } catch (...) {
        mark_unknown();
    }
}

// ---- stored form --------------------------------------------------------------------

void ColumnSummary::write(common::ByteWriter& out) const {
    out.u8(known ? 1 : 0);
    if (!known) {
        return;
    }
    for (const std::uint64_t count : types) {
        out.varint(count);
    }
    out.varint(zeros);
    out.varint(negatives);
    out.varint(nan);
    out.varint(inf);
    moments.write(out);
    quantiles.write(out);
    top.write(out);
    out.varint(text_count);
    if (text_count != 0) {
        out.varint(min_length);
        out.varint(max_length);
        out.varint(sum_length);
    }
}

namespace {

const char* const kTypeNames[kOriginCount] = {"null count", "bool count", "int count",
                                              "float count", "text count", "other count"};

// Each figure within the column's total and the figures' sums within theirs.
void check_counts(common::ByteReader& in, const ColumnSummary& s, std::uint64_t total) {
    std::uint64_t typed = 0;
    for (const std::uint64_t count : s.types) {
        if (!add_to(typed, count)) {
            in.fail("summary: kind counts pass 2^64 - 1");
        }
    }
    if (typed > total) {
        in.fail("summary: kind counts above the column's total");
    }
    const std::uint64_t numbers = s.moments.count();
    if (s.quantiles.count() != numbers) {
        in.fail("summary: the quantile sketch and the sums count different numbers");
    }
    std::uint64_t signed_numbers = s.zeros;
    if (!add_to(signed_numbers, s.negatives) || signed_numbers > numbers) {
        in.fail("summary: zeros and negatives above the numbers counted");
    }
    std::uint64_t values = numbers;
    if (!add_to(values, s.inf) || !add_to(values, s.nan) || !add_to(values, s.text_count) ||
        values > total) {
        in.fail("summary: figures above the column's total");
    }
    if (s.top.total() > total) {
        in.fail("summary: top values above the column's total");
    }
}

void check_lengths(common::ByteReader& in, const ColumnSummary& s) {
    if (s.text_count == 0) {
        return;
    }
    if (s.min_length > s.max_length) {
        in.fail("summary: shortest text longer than the longest");
    }
    const unsigned __int128 count = s.text_count;
    if (s.sum_length < count * s.min_length || s.sum_length > count * s.max_length) {
        in.fail("summary: summed text lengths out of their bounds");
    }
}

}  // namespace

ColumnSummary ColumnSummary::read(common::ByteReader& in, std::uint64_t seed, std::uint64_t total) {
    ColumnSummary s(seed);
    const std::uint8_t known = in.u8("summary known");
    if (known > 1) {
        in.fail("summary known", "not 0 or 1");
    }
    if (known == 0) {
        s.mark_unknown();
        return s;
    }
    for (std::size_t i = 0; i < kOriginCount; ++i) {
        s.types[i] = in.varint(kTypeNames[i]);
    }
    s.zeros = in.varint("zero count");
    s.negatives = in.varint("negative count");
    s.nan = in.varint("NaN count");
    s.inf = in.varint("infinity count");
    s.moments = exact_sum::ExactMoments::read(in);
    s.quantiles = quantiles::QuantileSketch::read(in, seed);
    s.top = top_values::TopValues::read(in);
    s.text_count = in.varint("text count");
    if (s.text_count != 0) {
        s.min_length = in.varint("shortest text");
        s.max_length = in.varint("longest text");
        s.sum_length = in.varint("summed text lengths");
    }
    check_counts(in, s, total);
    check_lengths(in, s);
    return s;
}

}  // namespace profiler
