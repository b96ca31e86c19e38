// Fuzzes the exact sums two ways with each input.
//
// As a stored form: read either refuses it (common::FormatError) or accepts a state whose
// stored form is exactly the bytes it consumed (the form is canonical), whose mean is
// finite, whose std is not negative, and which, merged with itself, keeps its mean bit
// for bit (2 S1 / 2n is S1 / n) unless the count would pass 2^64 - 1.
//
// As values: the input's 8-byte words are doubles (any bits: NaNs, infinities,
// subnormals). Fed by add_many in one call, by add one at a time, and in two parts
// split at a point the first byte chooses, merged in either order, they must give the
// same stored bytes; the form reads back to itself; the mean lies within the finite
// values' range.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <stdexcept>
#include <vector>

#include "exact_sum/exact_moments.h"

namespace {

using exact_sum::ExactMoments;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "exact_sum_fuzz: %s\n", what);
    std::abort();
}

std::vector<std::uint8_t> stored(const ExactMoments& m) {
    common::ByteWriter out(64);
    m.write(out);
    return out.out();
}

bool same(std::optional<double> a, std::optional<double> b) {
    return a.has_value() == b.has_value() &&
           (!a || std::bit_cast<std::uint64_t>(*a) == std::bit_cast<std::uint64_t>(*b));
}

void as_stored_form(std::span<const std::uint8_t> data) {
    common::ByteReader in(data, 0, data.size());
    ExactMoments m;
    try {
        m = ExactMoments::read(in);
    } catch (const common::FormatError&) {
        return;
    }
    const std::size_t used = in.at();
    const std::vector<std::uint8_t> again = stored(m);
    if (again.size() != used || !std::equal(again.begin(), again.end(), data.begin())) {
        fail("an accepted form does not write back to its own bytes");
    }
    const std::optional<double> mean = m.mean();
    const std::optional<double> std = m.std();
    if (mean.has_value() != (m.count() > 0) || (mean && !std::isfinite(*mean))) {
        fail("mean absent with values, or not finite");
    }
    if (std.has_value() != (m.count() > 1) || (std && !(*std >= 0))) {
        fail("std absent with two values, or negative");
    }
    if (m.count() <= UINT64_MAX / 2) {
        ExactMoments twice = m;
        twice.merge(m);
        if (!same(twice.mean(), mean)) {
            fail("merging a state with itself changed its mean");
        }
    }
}

void as_values(std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return;
    }
    std::vector<double> values((data.size() - 1) / 8);
    if (!values.empty()) {
        std::memcpy(values.data(), data.data() + 1, values.size() * 8);
    }
    const std::size_t split = values.empty() ? 0 : data[0] % (values.size() + 1);

    ExactMoments whole;
    whole.add_many(values);
    ExactMoments one_by_one;
    for (double v : values) {
        one_by_one.add(v);
    }
    const std::span<const double> all(values);
    ExactMoments left, right;
    left.add_many(all.first(split));
    right.add_many(all.subspan(split));
    ExactMoments left_right = left;
    left_right.merge(right);
    right.merge(left);

    const std::vector<std::uint8_t> bytes = stored(whole);
    if (stored(one_by_one) != bytes || stored(left_right) != bytes || stored(right) != bytes) {
        fail("the same values gave different states");
    }
    common::ByteReader in(bytes, 0, bytes.size());
    if (stored(ExactMoments::read(in)) != bytes || in.left() != 0) {
        fail("a written state does not read back to itself");
    }
    double low = HUGE_VAL;
    double high = -HUGE_VAL;
    for (double v : values) {
        if (std::isfinite(v)) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    }
    const std::optional<double> mean = whole.mean();
    if (mean && !(low <= *mean && *mean <= high)) {
        fail("the mean lies outside the values' range");
    }
    const std::optional<double> std = whole.std();
    if (std && (!(*std >= 0) || (low == high && *std != 0))) {
        fail("std negative, or not zero for equal values");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    as_stored_form(input);
    as_values(input);
    return 0;
}
