// Times ExactMoments::add_many (the exact sum and sum of squares) in ns per value on 10^7
// doubles of a few kinds, fed in batches as a column owner would, and prints the bytes a
// column holds after 1, 100, 10^4 and 10^7 values and the cost of mean() and std().
// CPU time, best of several runs.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BUILD_BENCH=ON
//         -DKARVO_BUILD_TESTS=OFF -DKARVO_BUILD_JSONL=OFF && cmake --build build/bench --target exact_sum_bench
//   build/bench/exact_sum_bench [VALUES] [RUNS] [BATCH]
#include <algorithm>
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

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::size_t batch = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 4096;
    std::printf("%zu values, batches of %zu, best of %d runs (CPU time)\n\n", n, batch, runs);
    std::printf("%-24s %10s %12s %12s\n", "workload", "ns/value", "mean() us", "std() us");
    for (const Workload& w : workloads(n)) {
        exact_sum::ExactMoments m;
        const double seconds = time_adds(w.values, batch, runs, m);
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
        std::printf("%-24s %10.2f %12.2f %12.2f   (mean %.17g, std %.17g)\n", w.name.c_str(),
                    seconds / static_cast<double>(n) * 1e9, mean_us, std_us, mean / 100, std / 100);
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
    return 0;
}
