// CardinalitySketch: a HyperLogLog++ sketch of precision 14 that estimates how many
// distinct 64-bit keys it has received.
//
// Forms. A sketch starts sparse: the exact set of 32-bit sparse codes (hash positions at
// precision 25) as a sorted, difference-encoded byte list (`DifIntVec`) with an unsorted
// `temp_set` of at most 131 codes in front of it. When a merge leaves the list longer
// than 13107 bytes the sketch turns dense for good: 16384 six-bit registers packed five
// to a 32-bit word (`RegistersPlus`). Turning dense yields exactly the registers that
// dense insertion of the same keys would have yielded.
//
// Invariants:
//  - sparse: `registers` absent; codes in `sparse` strictly ascending, each once; a code
//    may also stand in `temp_set` (a merge writes it once).
//  - dense: `temp_set` empty, `sparse` holds no codes (entry_count 0, last_value 0).
//  - the sparse list never takes more room than the dense registers (13108 bytes).
//
// Keys. Every key is hashed with SipHash-1-3 under `value_key`, drawn from the calling
// thread's key state at creation (see key_state.h), so the same data may give slightly
// different estimates in different processes. Tests pass explicit keys.
//
// Thread safety: none of its own. The owner serialises every call (a column's
// sketch_mutex); no operation takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sketch/key_state.h"

namespace sketch {

inline constexpr std::uint8_t kPrecision = 14;                 // p
inline constexpr std::uint8_t kSparsePrecision = 25;           // p'
inline constexpr std::uint64_t kRegisterCount = 1u << 14;      // m
inline constexpr std::uint64_t kSparseRegisterCount = 1u << 24;  // m' of the sparse estimate
inline constexpr std::uint64_t kDenseSizeLimit = 13107;        // bytes of the sparse list
inline constexpr std::size_t kRegisterWords = 3277;            // ceil(m / 5)

// Sorted sparse codes as differences in 7-bit groups, least significant group first.
class DifIntVec {
public:
    DifIntVec() = default;
    static DifIntVec with_capacity(std::size_t bytes);

    // Appends a code larger than every code already present.
    void push(std::uint32_t code);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::uint64_t entry_count() const { return entry_count_; }
    std::uint32_t last_value() const { return last_value_; }

    // Calls f(code) for every code in ascending order.
    template <class F>
    void for_each(F&& f) const;

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t entry_count_ = 0;
    std::uint32_t last_value_ = 0;
};

// 16384 six-bit registers, five to a 32-bit word, lowest register in the lowest bits.
class RegistersPlus {
public:
    static RegistersPlus with_count(std::uint64_t n);

    std::uint32_t get(std::size_t index) const;
    // Stores rank when it is greater than the register; keeps zero_count.
    void raise(std::size_t index, std::uint32_t rank);

    std::span<const std::uint32_t> words() const { return words_; }
    std::uint64_t register_count() const { return register_count_; }
    std::uint64_t zero_count() const { return zero_count_; }

private:
    std::vector<std::uint32_t> words_;
    std::uint64_t register_count_ = 0;
    std::uint64_t zero_count_ = 0;
};

class CardinalitySketch {
public:
    // Draws value_key, then the temp_set key, from the calling thread's key state.
    CardinalitySketch();
    // Explicit keys, for tests and reproducible runs.
    CardinalitySketch(SipKey value_key, SipKey temp_set_key);

    void insert(std::uint64_t key);
    // Same effect as inserting every key in turn.
    void insert_many(std::span<const std::uint64_t> keys);
    // The estimate; in the sparse form it merges temp_set first (see estimate.cpp).
    double count();

    bool is_dense() const;
    // Inspection, for tests.
    std::size_t temp_set_size() const;
    const DifIntVec& sparse() const;
    const RegistersPlus* registers() const;  // nullptr while sparse

    void merge_sparse();

private:
    // (implementation's own fields)
};

// The bias to subtract from a raw dense estimate E, interpolated in the precision-14
// empirical tables.
double estimate_bias(double e);

}  // namespace sketch
