// Times the top values summary per value, on 10^7 values of each workload that matters:
//   hits        10 distinct keys: every value a hit (the common case of a low-cardinality
//               column);
//   zipf1.1     Zipf(1.1) over 10^6 keys: a few heavy keys, a long tail of misses;
//   distinct    every key new: every value past the 64th takes over the least entry
//               (the worst case), with number representatives;
//   distinct-text  the same with 24-byte text representatives, each copied in.
// Beside it, for the choice of algorithm, a plain Misra-Gries summary with 64 counters
// (the isomorphic alternative) on the same keys, and how wide each one's intervals are on
// the 10 heaviest keys of the Zipf workload (Misra-Gries: its decrement total for all).
// Best of several runs, CPU time.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BUILD_BENCH=ON
//         -DKARVO_BUILD_TESTS=OFF -DKARVO_BUILD_JSONL=OFF
//   cmake --build build/bench --target top_values_bench
//   build/bench/top_values_bench [VALUES] [RUNS]
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "common/mix64.h"
#include "top_values/top_values.h"

namespace {

using top_values::Representative;
using top_values::TopValues;

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::uint64_t scramble(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::vector<std::uint64_t> zipf_keys(std::size_t n, double exponent, std::size_t universe) {
    std::vector<double> cumulative(universe);
    double sum = 0.0;
    for (std::size_t r = 0; r < universe; ++r) {
        sum += std::pow(static_cast<double>(r + 1), -exponent);
        cumulative[r] = sum;
    }
    std::mt19937_64 gen(1);
    std::vector<std::uint64_t> keys(n);
    for (auto& k : keys) {
        const double u = static_cast<double>(gen() >> 11) * 0x1.0p-53 * sum;
        const auto at = std::upper_bound(cumulative.begin(), cumulative.end(), u);
        k = scramble(static_cast<std::uint64_t>(
            std::min<std::ptrdiff_t>(at - cumulative.begin(), static_cast<std::ptrdiff_t>(universe) - 1)));
    }
    return keys;
}

// Misra-Gries with 64 counters and the same kind of index, for comparison only: a new key
// when full decrements every counter (one pass), and the counters that reach 0 leave.
class MisraGries {
  public:
    void update(std::uint64_t key) {
        ++n_;
        for (std::size_t i = common::mix_slot(key, 7);; i = (i + 1) & 127) {
            const std::uint8_t at = index_[i];
            if (at == 0xFF) {
                break;
            }
            if (keys_[at] == key) {
                ++counts_[at];
                return;
            }
        }
        if (size_ < 64) {
            keys_[size_] = key;
            counts_[size_] = 1;
            ++size_;
            insert(static_cast<std::uint8_t>(size_ - 1));
            return;
        }
        ++decrements_;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            if (--counts_[i] != 0) {
                keys_[kept] = keys_[i];
                counts_[kept++] = counts_[i];
            }
        }
        if (kept != size_) {
            size_ = kept;
            index_.fill(0xFF);
            for (std::size_t i = 0; i < size_; ++i) {
                insert(static_cast<std::uint8_t>(i));
            }
        }
    }
    std::uint64_t decrements() const { return decrements_; }
    std::uint64_t lower(std::uint64_t key) const {
        for (std::size_t i = 0; i < size_; ++i) {
            if (keys_[i] == key) {
                return counts_[i];
            }
        }
        return 0;
    }

  private:
    void insert(std::uint8_t at) {
        std::size_t i = common::mix_slot(keys_[at], 7);
        while (index_[i] != 0xFF) {
            i = (i + 1) & 127;
        }
        index_[i] = at;
    }
    std::array<std::uint64_t, 64> keys_{};
    std::array<std::uint64_t, 64> counts_{};
    std::array<std::uint8_t, 128> index_ = [] {
        std::array<std::uint8_t, 128> a{};
        a.fill(0xFF);
        return a;
    }();
    std::size_t size_ = 0;
    std::uint64_t n_ = 0;
    std::uint64_t decrements_ = 0;
};

template <class Run>
double best_ns_per_value(std::size_t values, int runs, Run&& run) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const double start = cpu_seconds();
        run();
        best = std::min(best, cpu_seconds() - start);
    }
    return best * 1e9 / static_cast<double>(values);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;

    std::vector<std::uint64_t> hits(n);
    std::vector<std::uint64_t> distinct(n);
    for (std::size_t i = 0; i < n; ++i) {
        hits[i] = scramble(i % 10);
        distinct[i] = scramble(i + 100);
    }
    const std::vector<std::uint64_t> zipf = zipf_keys(n, 1.1, 1000000);
    std::vector<std::string> texts(4096);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        texts[i] = "customer-" + std::to_string(1000000000000ULL + i * 7919);
    }

    std::printf("%zu values, best of %d runs, CPU ns per value\n", n, runs);
    std::printf("%-14s %10s %12s\n", "workload", "TopValues", "Misra-Gries");
    const struct {
        const char* name;
        const std::vector<std::uint64_t>* keys;
        bool text;
    } workloads[] = {{"hits", &hits, false}, {"zipf1.1", &zipf, false},
                     {"distinct", &distinct, false}, {"distinct-text", &distinct, true}};
    for (const auto& w : workloads) {
        const auto& keys = *w.keys;
        std::uint64_t sink = 0;
        const double ss = best_ns_per_value(n, runs, [&] {
            TopValues s;
            if (w.text) {
                s.update_many(keys, [&](std::size_t i) {
                    return Representative::of_text(texts[i & 4095]);
                });
            } else {
                s.update_many(keys, [&](std::size_t i) {
                    return Representative::of_number(static_cast<double>(i));
                });
            }
            sink += s.top(1).at(0).count + s.text_bytes();
        });
        const double mg = w.text ? 0.0 : best_ns_per_value(n, runs, [&] {
            MisraGries m;
            for (const auto k : keys) {
                m.update(k);
            }
            sink += m.decrements();
        });
        std::printf("%-14s %10.2f %12.2f%s\n", w.name, ss, mg, sink == 42 ? " " : "");
    }

    // Tightness on the heavy keys of the Zipf workload.
    TopValues s;
    MisraGries m;
    s.update_many(zipf, [](std::size_t) { return Representative::of_number(0.0); });
    for (const auto k : zipf) {
        m.update(k);
    }
    std::printf("\nzipf1.1, 10 heaviest held keys: interval width (count - lower bound)\n");
    std::printf("%-20s %12s %12s %10s\n", "key", "TopValues", "Misra-Gries", "count");
    for (const auto& e : s.top(10)) {
        std::printf("%-20llu %12llu %12llu %10llu\n", static_cast<unsigned long long>(e.key),
                    static_cast<unsigned long long>(e.error),
                    static_cast<unsigned long long>(m.decrements()),
                    static_cast<unsigned long long>(e.count));
    }
    std::printf("TopValues floor %llu, Misra-Gries decrements %llu, N / 64 = %llu\n",
                static_cast<unsigned long long>(s.floor()),
                static_cast<unsigned long long>(m.decrements()),
                static_cast<unsigned long long>(n / 64));
    std::printf("TopValues memory %zu bytes, texts aside\n", s.memory_bytes());
    return 0;
}
