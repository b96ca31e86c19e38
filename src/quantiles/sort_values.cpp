#include "quantiles/sort_values.h"

#include <algorithm>

namespace quantiles {

namespace {

constexpr std::size_t kBlock = 8;

// a, b in order, without a branch (minsd/maxsd).
inline void order(double& a, double& b) {
    const double x = a;
    const double y = b;
    a = y < x ? y : x;
    b = y < x ? x : y;
}

// The optimal 19-comparator network for 8 values (checked on all 256 inputs of 0s and 1s,
// which by the 0-1 principle suffices).
inline void sort8(double* v) {
    order(v[0], v[2]), order(v[1], v[3]), order(v[4], v[6]), order(v[5], v[7]);
    order(v[0], v[4]), order(v[1], v[5]), order(v[2], v[6]), order(v[3], v[7]);
    order(v[0], v[1]), order(v[2], v[3]), order(v[4], v[5]), order(v[6], v[7]);
    order(v[2], v[4]), order(v[3], v[5]);
    order(v[1], v[4]), order(v[3], v[6]);
    order(v[1], v[2]), order(v[3], v[4]), order(v[5], v[6]);
}

void insertion_sort(double* first, double* last) {
    for (double* i = first + (first != last ? 1 : 0); i < last; ++i) {
        const double x = *i;
        double* j = i;
        for (; j > first && x < j[-1]; --j) {
            *j = j[-1];
        }
        *j = x;
    }
}

// Merges the sorted runs [a, a_end) and [b, b_end) into out; on ties a's item comes first.
void merge_runs(const double* a, const double* a_end, const double* b, const double* b_end,
                double* out) {
    while (a != a_end && b != b_end) {
        const double x = *a;
        const double y = *b;
        const bool take_b = y < x;
        *out++ = take_b ? y : x;
        a += take_b ? 0 : 1;
        b += take_b ? 1 : 0;
    }
    out = std::copy(a, a_end, out);
    std::copy(b, b_end, out);
}

// Merges two sorted runs of equal length m into out from both ends at once: m steps take
// the smallest items from the fronts, m steps the largest from the backs. The two chains
// are independent, so they overlap in the processor; each is the plain merge's. Why no
// step reads past a run: a front step that reads a run's item j has taken at most j of its
// items before, fewer than m; likewise at the backs. Why nothing is taken twice or left
// out: ties go to a's item at the front and to b's at the back, so the fronts give the
// first m items of the stable merge and the backs its last m.
void merge_equal_runs(const double* a, const double* b, std::size_t m, double* out) {
    const double* a_back = a + m - 1;
    const double* b_back = b + m - 1;
    double* out_back = out + 2 * m - 1;
    for (std::size_t i = 0; i < m; ++i) {
        const double x = *a;
        const double y = *b;
        const bool take_b = y < x;
        *out++ = take_b ? y : x;
        a += take_b ? 0 : 1;
        b += take_b ? 1 : 0;
        const double u = *a_back;
        const double w = *b_back;
        const bool take_a = w < u;
        *out_back-- = take_a ? u : w;
        a_back -= take_a ? 1 : 0;
        b_back -= take_a ? 0 : 1;
    }
}

}  // namespace

void sort_values(std::span<double> values) {
    const std::size_t n = values.size();
    double* const v = values.data();
    // Ascending input (ids, times) is common and costs a scan; on other input the scan
    // stops at the first descent.
    if (std::is_sorted(v, v + n)) {
        return;
    }
    if (n <= kBlock) {
        insertion_sort(v, v + n);
        return;
    }
    if (n > kSortScratch) {
        std::sort(v, v + n);
        return;
    }
    const std::size_t whole = n - n % kBlock;
    for (std::size_t i = 0; i < whole; i += kBlock) {
        sort8(v + i);
    }
    insertion_sort(v + whole, v + n);
    double scratch[kSortScratch];
    double* from = v;
    double* to = scratch;
    for (std::size_t width = kBlock; width < n; width *= 2) {
        for (std::size_t i = 0; i < n; i += 2 * width) {
            const std::size_t mid = std::min(i + width, n);
            const std::size_t end = std::min(i + 2 * width, n);
            if (end - mid == width) {
                merge_equal_runs(from + i, from + mid, width, to + i);
            } else {
                merge_runs(from + i, from + mid, from + mid, from + end, to + i);
            }
        }
        std::swap(from, to);
    }
    if (from != v) {
        std::copy(from, from + n, v);
    }
}

}  // namespace quantiles
