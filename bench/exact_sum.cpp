// Times ExactMoments::add_many (the exact sum and sum of squares) in ns per value on 10^7
// doubles of a few kinds, fed in batches as a column owner would, and prints the bytes a
// column holds after 1, 100, 10^4 and 10^7 values and the cost of mean() and std().
// CPU time, best of several runs.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BUILD_BENCH=ON
//         -DKARVO_BUILD_TESTS=OFF -DKARVO_BUILD_JSONL=OFF && cmake --build build/bench --target exact_sum_bench
//   build/bench/exact_sum_bench [VALUES] [RUNS] [BATCH]
//
// Figures on the development machine (2 shared cores, load average about 10 while measured,
// so a few tenths either way), ns per value:
//                              10^7 values streamed     10^5 values in cache
//                              exact     plain sums     exact     plain sums
//   uniform [0,1)              4.2-4.5   1.4            2.6-3.5   0.5
//   integers 0..1000           4.4-4.5   1.4            2.4-3.5   0.5
//   lognormal(0, 20)           6.5-6.8   1.4            4.9-5.4   0.5
//   both signs, all exponents  6.3-6.7   1.6            4.7-5.4   0.9-1.0
// The clustered workloads take the register path (one pass to scan the batch's exponents,
// one to add); the spread ones mostly the chunks. mean() under 1 us, std() 1.5-5 us.
// Squares alone where both are exact: the integer product 3.3-3.5 ns (in cache), the
// FMA split 4.5-4.8.
//
// The plain sums are the inexact, order-dependent double loop over the same values, for
// scale only.
#include <algorithm>
#include <bit>
#include <utility>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "exact_sum/exact_moments.h"

namespace {

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Workload {
    std::string name;
    std::vector<double> values;
};

std::vector<Workload> workloads(std::size_t n) {
    std::mt19937_64 random(42);
    std::vector<Workload> out(4);
    out[0].name = "uniform [0,1)";
    out[1].name = "integers 0..1000";
    out[2].name = "lognormal(0, 20)";
    out[3].name = "signed, all exponents";
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::lognormal_distribution<double> lognormal(0.0, 20.0);
    for (Workload& w : out) {
        w.values.resize(n);
    }
    for (std::size_t i = 0; i < n; ++i) {
        out[0].values[i] = unit(random);
        out[1].values[i] = static_cast<double>(random() % 1001);
        out[2].values[i] = lognormal(random);
        const double m = 1.0 + unit(random);
        out[3].values[i] = std::ldexp(random() % 2 ? m : -m, static_cast<int>(random() % 2046) - 1022);
    }
    return out;
}

double time_adds(const std::vector<double>& values, std::size_t batch, int runs, exact_sum::ExactMoments& last) {
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        exact_sum::ExactMoments m;
        const double start = cpu_seconds();
        for (std::size_t at = 0; at < values.size(); at += batch) {
            m.add_many(std::span<const double>(values).subspan(at, std::min(batch, values.size() - at)));
        }
        best = std::min(best, cpu_seconds() - start);
        last = m;
    }
    return best;
}

// ---- The squares alone, three ways (a comparison for the choice in exact_moments.h) ----
// Each adds x^2 exactly into 136 chunks of 2^-2148 units at 32-bit spacing (carries
// propagated every 1024 values), for values whose squares neither overflow nor underflow,
// nor leave an error term below the normal range, so that the FMA split is exact too.

constexpr int kSquareChunks = 136;

void propagate(std::vector<std::int64_t>& c) {
    for (std::size_t i = 0; i + 1 < c.size(); ++i) {
        c[i + 1] += c[i] >> 32;
        c[i] &= 0xffffffff;
    }
}

// A double's exact value m * 2^(p - 1074) added, in units of 2^-2148, to the chunks.
inline void add_double(std::int64_t* c, double d) {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7ff;
    const unsigned normal = biased != 0;
    const std::uint64_t m = (bits & ((1ULL << 52) - 1)) | (std::uint64_t{normal} << 52);
    const unsigned q = biased - normal + 1074;
    const std::uint64_t flip = 0 - (bits >> 63);
    const unsigned shift = q & 31;
    std::int64_t* t = c + (q >> 5);
    const std::uint64_t low = (m << shift) & 0xffffffff;
    const std::uint64_t high = m >> (32 - shift);
    t[0] += static_cast<std::int64_t>((low ^ flip) - flip);
    t[1] += static_cast<std::int64_t>((high ^ flip) - flip);
}

// hi = x*x rounded, lo = fma(x, x, -hi) its exact error: two doubles, two adds each.
void squares_by_fma(std::span<const double> values, std::vector<std::int64_t>& c) {
    for (std::size_t at = 0; at < values.size(); at += 1024) {
        for (double x : values.subspan(at, std::min<std::size_t>(1024, values.size() - at))) {
            const double hi = x * x;
            const double lo = std::fma(x, x, -hi);
            add_double(c.data(), hi);
            add_double(c.data(), lo);
        }
        propagate(c);
    }
}

// The 106-bit product of the significands, shifted into four pieces (exact_moments.cpp).
void squares_by_product(std::span<const double> values, std::vector<std::int64_t>& c) {
    for (std::size_t at = 0; at < values.size(); at += 1024) {
        for (double x : values.subspan(at, std::min<std::size_t>(1024, values.size() - at))) {
            const auto bits = std::bit_cast<std::uint64_t>(x);
            const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7ff;
            const unsigned normal = biased != 0;
            const std::uint64_t m = (bits & ((1ULL << 52) - 1)) | (std::uint64_t{normal} << 52);
            const unsigned p2 = 2 * (biased - normal);
            const unsigned shift = p2 & 31;
            std::int64_t* q = c.data() + (p2 >> 5);
            const unsigned __int128 square = static_cast<unsigned __int128>(m) * m;
            const auto lo = static_cast<std::uint64_t>(square);
            const auto hi = static_cast<std::uint64_t>(square >> 64);
            const std::uint64_t w0 = lo << shift;
            const std::uint64_t w1 = (hi << shift) | ((lo >> 1) >> (63 - shift));
            const std::uint64_t w2 = (hi >> 1) >> (63 - shift);
            q[0] += static_cast<std::int64_t>(w0 & 0xffffffff);
            q[1] += static_cast<std::int64_t>(w0 >> 32);
            q[2] += static_cast<std::int64_t>(w1 & 0xffffffff);
            q[3] += static_cast<std::int64_t>((w1 >> 32) | (w2 << 32));
        }
        propagate(c);
    }
}

void compare_squares(std::size_t n, int runs) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    std::vector<double> clustered(n), spread(n);
    for (std::size_t i = 0; i < n; ++i) {
        clustered[i] = unit(random) * 1000.0;
        spread[i] = std::ldexp(unit(random), static_cast<int>(random() % 900) - 450);
    }
    std::printf("\nsquares alone, ns per value (values whose squares stay normal)\n");
    std::printf("%-24s %12s %12s\n", "values", "FMA split", "product");
    for (const auto& [name, values] : {std::pair<const char*, const std::vector<double>&>{"one cluster", clustered},
                                       {"2^-450..2^450", spread}}) {
        double best_fma = 1e9;
        double best_product = 1e9;
        std::vector<std::int64_t> a, b;
        for (int r = 0; r < runs; ++r) {
            a.assign(kSquareChunks, 0);
            b.assign(kSquareChunks, 0);
            double start = cpu_seconds();
            squares_by_fma(values, a);
            best_fma = std::min(best_fma, cpu_seconds() - start);
            start = cpu_seconds();
            squares_by_product(values, b);
            best_product = std::min(best_product, cpu_seconds() - start);
        }
        propagate(a);
        propagate(b);
        std::printf("%-24s %12.2f %12.2f %s\n", name, best_fma / static_cast<double>(n) * 1e9,
                    best_product / static_cast<double>(n) * 1e9, a == b ? "(equal sums)" : "(SUMS DIFFER)");
    }
}

// For scale: the plain (inexact, order-dependent) double sums of the same values.
double time_plain(const std::vector<double>& values, int runs, double& keep) {
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        double sum = 0;
        double squares = 0;
        const double start = cpu_seconds();
        for (double x : values) {
            sum += x;
            squares += x * x;
        }
        best = std::min(best, cpu_seconds() - start);
        keep += sum + squares;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::size_t batch = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 4096;
    std::printf("%zu values, batches of %zu, best of %d runs (CPU time)\n\n", n, batch, runs);
    std::printf("%-24s %10s %10s %12s %12s\n", "workload", "ns/value", "plain sum", "mean() us", "std() us");
    double keep = 0;
    for (const Workload& w : workloads(n)) {
        exact_sum::ExactMoments m;
        const double seconds = time_adds(w.values, batch, runs, m);
        const double plain = time_plain(w.values, runs, keep);
        double start = cpu_seconds();
        double mean = 0;
        for (int i = 0; i < 100; ++i) {
            mean += *m.mean();
        }
        const double mean_us = (cpu_seconds() - start) / 100 * 1e6;
        start = cpu_seconds();
        double std = 0;
        for (int i = 0; i < 100; ++i) {
            std += *m.std();
        }
        const double std_us = (cpu_seconds() - start) / 100 * 1e6;
        std::printf("%-24s %10.2f %10.2f %12.2f %12.2f   (mean %.17g, std %.17g)\n", w.name.c_str(),
                    seconds / static_cast<double>(n) * 1e9, plain / static_cast<double>(n) * 1e9, mean_us,
                    std_us, mean / 100, std / 100);
    }
    std::printf("\nbytes held after k values\n%-24s", "workload");
    const std::size_t sizes[] = {1, 100, 10000, n};
    for (std::size_t k : sizes) {
        std::printf(" %10zu", k);
    }
    std::printf("\n");
    for (const Workload& w : workloads(n)) {
        std::printf("%-24s", w.name.c_str());
        for (std::size_t k : sizes) {
            exact_sum::ExactMoments m;
            m.add_many(std::span<const double>(w.values).first(std::min(k, w.values.size())));
            std::printf(" %10zu", m.memory_bytes());
        }
        std::printf("\n");
    }
    compare_squares(n, runs);
    return keep == 1.0 ? 1 : 0;  // keeps the plain sums from being optimised away
}
