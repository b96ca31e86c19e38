// Helpers shared by the sketch tests: fixed keys and a comparison of two sketches' whole
// state.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "hash/siphash.h"
#include "sketch/cardinality_sketch.h"

namespace sketch_test {

// Fixed keys, so that every run of the tests sees the same hashes.
inline constexpr hash::SipKey kValueKey{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
inline constexpr hash::SipKey kTempKey{0x0f1e2d3c4b5a6978ULL, 0x8796a5b4c3d2e1f0ULL};

inline sketch::CardinalitySketch fixed_sketch() {
    return sketch::CardinalitySketch(kValueKey, kTempKey);
}

inline std::uint64_t hash_of(std::uint64_t key) {
    return hash::siphash13(kValueKey, key);
}
inline std::uint32_t code_of(std::uint64_t key) {
    return sketch::sparse_code(hash_of(key));
}

// Every field of the two sketches' state is the same.
inline void expect_same_state(const sketch::CardinalitySketch& a,
                              const sketch::CardinalitySketch& b) {
    ASSERT_EQ(a.is_dense(), b.is_dense());
    EXPECT_EQ(a.temp_set_size(), b.temp_set_size());
    EXPECT_EQ(a.sparse().bytes(), b.sparse().bytes());
    EXPECT_EQ(a.sparse().entry_count(), b.sparse().entry_count());
    EXPECT_EQ(a.sparse().last_value(), b.sparse().last_value());
    if (a.is_dense()) {
        const auto wa = a.registers()->words();
        const auto wb = b.registers()->words();
        EXPECT_TRUE(std::equal(wa.begin(), wa.end(), wb.begin(), wb.end()));
        EXPECT_EQ(a.registers()->zero_count(), b.registers()->zero_count());
    }
}

// The registers that dense insertion of these keys under kValueKey gives.
template <class Keys>
sketch::RegistersPlus dense_reference(const Keys& keys) {
    auto registers = sketch::RegistersPlus::with_count(sketch::kRegisterCount);
    for (std::uint64_t key : keys) {
        const sketch::RegisterUpdate update = sketch::dense_update(hash_of(key));
        registers.raise(update.index, update.rank);
    }
    return registers;
}

inline void expect_registers_equal(const sketch::RegistersPlus& actual,
                                   const sketch::RegistersPlus& expected) {
    const auto wa = actual.words();
    const auto we = expected.words();
    EXPECT_TRUE(std::equal(wa.begin(), wa.end(), we.begin(), we.end()));
    EXPECT_EQ(actual.zero_count(), expected.zero_count());
}

}  // namespace sketch_test
