// Sizes of the tests that only grow an input. A plain build runs them at full size; a
// sanitized build (KARVO_TEST_FULL_SCALE=0, set by CMake) at a smaller one that still takes
// every path the full size takes, since the sanitizers look for memory and thread faults,
// which do not need scale, and run such tests ten to fifty times slower.
#pragma once

#include <cstddef>

#ifndef KARVO_TEST_FULL_SCALE
#define KARVO_TEST_FULL_SCALE 1
#endif

namespace karvo_test {

inline constexpr bool kFullScale = KARVO_TEST_FULL_SCALE != 0;

// `full` in a plain build, `sanitized` under a sanitizer.
constexpr std::size_t scaled(std::size_t full, std::size_t sanitized) {
    return kFullScale ? full : sanitized;
}

}  // namespace karvo_test
