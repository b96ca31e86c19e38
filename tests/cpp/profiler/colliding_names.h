// Column names that all share one FxHash, built from the hash's own structure.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "sketch/fxhash.h"

namespace profiler::testing {

// Each name is two 8-byte groups (w1, w2). After them the hash state is
// (rotl(w1 * K, 5) ^ w2) * K, so choosing w2 = rotl(w1 * K, 5) ^ C gives every name the
// state C * K whatever w1 is; the final 0xFF step is then the same too.
inline std::vector<std::string> colliding_names(std::size_t count) {
    constexpr std::uint64_t kC = 0x6b61727661636f6cULL;
    std::vector<std::string> names;
    names.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t w1 = 0x2d656d616e000000ULL + i;
        const std::uint64_t w2 = std::rotl(w1 * sketch::kFxMultiplier, 5) ^ kC;
        std::string name(16, '\0');
        for (int b = 0; b < 8; ++b) {
            name[b] = static_cast<char>(w1 >> (8 * b));
            name[8 + b] = static_cast<char>(w2 >> (8 * b));
        }
        names.push_back(std::move(name));
    }
    return names;
}

}  // namespace profiler::testing
