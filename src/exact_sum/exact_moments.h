// ExactMoments: the exact sum and the exact sum of squares of every finite double a column
// received, and from them its mean (correctly rounded) and its sample standard deviation
// (correctly rounded too, so within the required ulp). Both are pure functions of the
// multiset of values: any order, any split into calls, any tree of merges gives the same
// bits, so a merged profile reports exactly what one profile that saw every row reports.
//
// What it owns: a count, two ChunkWindow accumulators (chunk_window.h) and nothing else.
// What it must not know: Python, the profiler, the column's other summaries; which values
// are numeric is the owner's business (it passes doubles; infinities and NaNs are skipped
// here and not counted, since they have no exact sum).
//
// Representation. A finite double is m * 2^(p - 1074) with an integer m < 2^53 and
// 0 <= p <= 2045 (p = biased exponent - 1, subnormals p = 0), so
//   x   = m   * 2^p  units of 2^-1074, and
//   x^2 = m^2 * 2^2p units of 2^-2148,
// exact integers. The sum lives in chunks of 2^-1074 units (70 chunks of capacity:
// |sum| < 2^64 * 2^2098 < 2^2162), the sum of squares in chunks of 2^-2148 units (136:
// < 2^64 * 2^4196 < 2^4260), each a ChunkWindow (chunk_window.h, Neal's small
// superaccumulator).
//
// Two paths. add_many first scans its batch's exponent range [p_low, p_high], then takes
// the values in blocks of at most kBatch (1024) between carry propagations:
//  - near the top (p >= p_ref = p_high - 11): y = m << (p - p_ref) < 2^64 is x in units of
//    2^(p_ref - 1074) and y^2 < 2^128 (one 64x64->128 multiply) is x^2 in units of
//    2^(2 p_ref - 2148); they are summed in registers (a 128-bit signed sum, the squares'
//    64-bit halves in two 128-bit sums: no overflow within 1024 values) and added to the
//    chunks once per block. A batch entirely near its top (clustered data: integers,
//    prices) runs a loop without a branch and without memory chains.
//  - below it: x adds m << (p mod 32) as two pieces (below 2^32 and 2^52) to chunks
//    p/32 and p/32 + 1; x^2 adds the 136-bit m^2 << (2p mod 32) as four pieces (three
//    below 2^32, one below 2^40) to chunks 2p/32 .. 2p/32 + 3.
// Every chunk so takes at most 2^52 per value and 2^32 per block, below 2^63 in 1024 values.
//
// Squares: the integer product of the 53-bit significands throughout, not an FMA split
// (hi = x*x, lo = fma(x, x, -hi)). The product reuses the sum's decoding of x, is exact for
// every double (subnormals, squares below 2^-1074 or above DBL_MAX) with no range branch,
// and near the top it is the single multiply y*y; the split must decode two more doubles
// and add both, and is exact only while lo stays normal (|x| roughly within 2^+-460), so the
// integer path would be needed beside it anyway. bench/exact_sum.cpp measures both on
// squares alone, values where both are exact: the product took 3.2-3.4 ns per value,
// the FMA split 4.4-4.7 (in cache, this machine).
//
// Mean = round-to-nearest-even(S1 / n): S1 shifted left until the quotient by n has 56
// bits, long division by n, the remainder as sticky bit; no intermediate overflows.
// Std = sqrt((n S2 - S1^2) / (n (n-1))): D = n S2 - S1^2 >= 0 exactly (Cauchy-Schwarz), scaled
// by an even power of two 4^s so that Q = floor(D 4^s / (n (n-1))) has 110..113 bits,
// R = isqrt(Q), sticky when anything was dropped; floor(sqrt(floor(y))) = floor(sqrt(y)),
// so R with its sticky bit rounds to the correctly rounded std * 2^s. No intermediate is a
// double, so a variance above DBL_MAX still gives its finite std; a std itself beyond
// DBL_MAX (values of both signs near DBL_MAX) is +inf, the correctly rounded result.
// An exact zero mean is +0.0.
//
// Stored form (write/read through common/byte_io.h), little-endian; varints as there
// (7-bit groups, shortest form):
//   count (varint); then the sum, then the sum of squares, each as
//     sign (u8: 0 zero, 1 positive, 2 negative; never 2 for the squares);
//     unless zero: lowest limb index (varint), limb count (varint), the limbs (u32 each),
//     the magnitude's 32-bit limbs in units of 2^-1074 (sum) or 2^-2148 (squares),
//     lowest and top limb non-zero.
// Canonical: it is the exact value's only spelling. read checks every field before use and
// refuses states no values could make: count 0 with a non-zero sum; |S1| > n DBL_MAX;
// S2 > n DBL_MAX^2; S1^2 > n S2 (Cauchy-Schwarz; so S2 = 0 forces S1 = 0); n = 1 with S1
// not a double or S2 != S1^2. It allocates at most 136 limbs, whatever the input.
//
// Memory: sizeof(ExactMoments) = 80 bytes, plus the chunks of the windows the values
// reached (8 bytes each; a window covers one spare chunk above its pieces, and a batch's
// near-sum flush a few more). Measured (bench/exact_sum.cpp), in bytes after k values:
//                            k = 1     100    10^4    10^7
//   uniform [0,1)                192     200     216     216
//   integers 0..1000             192     192     192     192
//   lognormal(0, 20)             192     288     360     432
//   both signs, all exponents    192    1688    1712    1712   (at most 80 + 8 (70 + 136))
// An empty column holds 80 bytes and no heap.
//
// Cost (bench/exact_sum.cpp, this machine under load), ns per value in batches of 4096:
// clustered values (uniform [0,1), integers 0..1000) 2.5-3.5 from cache and 4.2-4.5
// streamed over 10^7 values; values spread over many exponents (lognormal(0, 20), all
// exponents) 4.7-5.4 and 6.3-6.8. mean() costs under a microsecond and std() a few
// (big-integer arithmetic on at most 136 limbs).
//
// Failure: a call that throws adds nothing. add_many checks the count, then scans the
// whole batch's exponent range and widens the windows to every chunk the batch can touch
// before its first add (the only allocation; a window widens at most 206 times in a
// column's life); the adds and carry propagations allocate nothing. merge works on copies.
// A call of more than 2^30 values is taken as calls of 2^30 (the top chunks take carries
// of below 2^31 per 1024 values, from below 2^31 at each call's start).
//
// Thread safety: none; the owner serialises every call. No lock, no allocation per value,
// no global state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "common/byte_io.h"
#include "exact_sum/chunk_window.h"

namespace exact_sum {

class ExactMoments {
  public:
    // Values between carry propagations.
    static constexpr std::uint32_t kBatch = 1024;
    static constexpr int kSumChunks = 70;
    static constexpr int kSquareChunks = 136;

    ExactMoments() : sum_(kSumChunks), squares_(kSquareChunks) {}

    // Adds x and x*x (nothing for an infinity or a NaN). Throws std::overflow_error, adding
    // nothing, when the count would pass 2^64 - 1.
    void add(double x) { add_many(std::span<const double>(&x, 1)); }
    // Adds every value, as add() one by one would; on overflow adds none of them.
    void add_many(std::span<const double> values);
    // Adds other's values. Throws std::overflow_error, changing nothing, when the counts
    // together would pass 2^64 - 1.
    void merge(const ExactMoments& other);

    // Finite values added.
    std::uint64_t count() const { return count_; }
    // The exact mean rounded to nearest, ties to even; none without values.
    std::optional<double> mean() const;
    // The sample standard deviation (n - 1), correctly rounded; none below two values.
    std::optional<double> std() const;

    // The exact sums as sign and magnitude, in units of 2^-1074 and 2^-2148.
    ChunkWindow::Parts sum_parts() const { return sum_.parts(); }
    ChunkWindow::Parts square_parts() const { return squares_.parts(); }

    // Appends the stored form (canonical: equal sums and counts, equal bytes).
    void write(common::ByteWriter& out) const;
    // Reads a stored form at in's position and moves past it; throws common::FormatError
    // saying what is wrong and where.
    static ExactMoments read(common::ByteReader& in);

    // Bytes held, the object and its heap.
    std::size_t memory_bytes() const {
        return sizeof(*this) + sum_.heap_bytes() + squares_.heap_bytes();
    }

  private:
    // Makes room and covers every chunk a batch whose finite, non-zero values have biased
    // exponents lowest..highest can touch: all the allocation a batch needs, before any add.
    void prepare_windows(unsigned lowest, unsigned highest);

    std::uint64_t count_ = 0;
    std::uint32_t since_normalised_ = 0;  // values added since the last carry propagation
    ChunkWindow sum_;
    ChunkWindow squares_;
};

}  // namespace exact_sum
