// The quantile sketch's bench driver.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BUILD_BENCH=ON
//         -DKARVO_BUILD_TESTS=OFF -DKARVO_BUILD_JSONL=OFF
//   cmake --build build/bench --target quantile_bench
//
//   quantile_bench answers RUNS SEED K SHARDS < values.f64
//       Reads little-endian doubles from stdin; for each run r builds a sketch with seed
//       SEED + r and top capacity K (SHARDS > 1: one sketch per contiguous shard, merged
//       left to right) and prints one line: stored bytes, peak memory_bytes while
//       updating, then the seven reported quantiles (%.17g). bench/quantile_accuracy.py
//       drives it.
//   quantile_bench speed [N] [RUNS]
//       ns per value for N (default 10^7) uniform, sorted and ten-distinct doubles, by
//       update() per value and by update_many() in batches of 4096; best of RUNS (3).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "quantiles/quantile_sketch.h"

namespace {

using quantiles::QuantileSketch;

std::vector<double> read_stdin() {
    std::vector<double> values;
    double buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, sizeof(double), 4096, stdin)) > 0) {
        values.insert(values.end(), buffer, buffer + got);
    }
    return values;
}

std::size_t stored_bytes(const QuantileSketch& s) {
    quantiles::ByteWriter w;
    s.write(w);
    return w.out().size();
}

int answers(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: quantile_bench answers RUNS SEED K SHARDS < values\n");
        return 2;
    }
    const long runs = std::atol(argv[2]);
    const std::uint64_t seed = std::strtoull(argv[3], nullptr, 10);
    const auto k = static_cast<std::uint32_t>(std::atol(argv[4]));
    const std::size_t shards = std::max<long>(1, std::atol(argv[5]));
    const std::vector<double> values = read_stdin();
    const std::size_t step = 1 << 16;
    for (long r = 0; r < runs; ++r) {
        QuantileSketch merged(seed + r, k);
        std::size_t peak = 0;
        const std::size_t per_shard = (values.size() + shards - 1) / shards;
        for (std::size_t first = 0; first < values.size(); first += per_shard) {
            QuantileSketch shard(seed + r + 1000003 * (first / per_shard + 1), k);
            const std::size_t end = std::min(values.size(), first + per_shard);
            for (std::size_t i = first; i < end; i += step) {
                shard.update_many(std::span(values).subspan(i, std::min(step, end - i)));
                peak = std::max(peak, shard.memory_bytes());
            }
            if (shards == 1) {
                merged = std::move(shard);
            } else {
                merged.merge(shard);
            }
            peak = std::max(peak, merged.memory_bytes());
        }
        std::printf("%zu %zu", stored_bytes(merged), peak);
        for (const double q : merged.reported_quantiles()) {
            std::printf(" %.17g", q);
        }
        std::printf("\n");
    }
    return 0;
}

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class Feed>
double best_ns_per_value(std::size_t n, int runs, Feed feed) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        QuantileSketch s(12345);
        const double start = cpu_seconds();
        feed(s);
        const double elapsed = cpu_seconds() - start;
        best = std::min(best, elapsed * 1e9 / static_cast<double>(n));
        if (s.count() != n) {
            std::fprintf(stderr, "lost values\n");
            std::exit(1);
        }
    }
    return best;
}

int speed(int argc, char** argv) {
    const std::size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000000;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> u(n), sorted(n), few(n);
    for (std::size_t i = 0; i < n; ++i) {
        u[i] = uniform(random);
        sorted[i] = static_cast<double>(i);
        few[i] = static_cast<double>(random() % 10);
    }
    const struct {
        const char* name;
        const std::vector<double>* values;
    } workloads[] = {{"uniform", &u}, {"sorted", &sorted}, {"ten_distinct", &few}};
    std::printf("%-14s %12s %18s\n", "workload", "update ns", "update_many ns");
    for (const auto& w : workloads) {
        const std::vector<double>& v = *w.values;
        const double per_value = best_ns_per_value(n, runs, [&](QuantileSketch& s) {
            for (const double x : v) {
                s.update(x);
            }
        });
        const double batched = best_ns_per_value(n, runs, [&](QuantileSketch& s) {
            for (std::size_t i = 0; i < n; i += 4096) {
                s.update_many(std::span(v).subspan(i, std::min<std::size_t>(4096, n - i)));
            }
        });
        std::printf("%-14s %12.2f %18.2f\n", w.name, per_value, batched);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "answers") == 0) {
        return answers(argc, argv);
    }
    if (argc >= 2 && std::strcmp(argv[1], "speed") == 0) {
        return speed(argc, argv);
    }
    std::fprintf(stderr, "usage: quantile_bench answers|speed ...\n");
    return 2;
}
