// Feeds the top values summary the 64-bit keys read from stdin (raw little-endian u64s)
// and prints what it holds, for comparisons driven from Python (bench/top_values_oracle.py):
//   total N floor F
//   key count error        (one line per entry, by count descending, then key)
//
//   build/bench/top_values_driver < keys.bin
#include <cstdint>
#include <cstdio>
#include <vector>

#include "top_values/top_values.h"

int main() {
    std::vector<std::uint64_t> keys;
    std::uint64_t buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, sizeof buffer[0], 4096, stdin)) > 0) {
        keys.insert(keys.end(), buffer, buffer + n);
    }
    top_values::TopValues s;
    s.update_many(keys, [](std::size_t) { return top_values::Representative::of_number(0.0); });
    std::printf("total %llu floor %llu\n", static_cast<unsigned long long>(s.total()),
                static_cast<unsigned long long>(s.floor()));
    for (const auto& e : s.top(top_values::kCapacity)) {
        std::printf("%llu %llu %llu\n", static_cast<unsigned long long>(e.key),
                    static_cast<unsigned long long>(e.count),
                    static_cast<unsigned long long>(e.error));
    }
    return 0;
}
