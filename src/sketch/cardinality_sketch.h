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
//  - dense: `temp_set` empty, `sparse` holds no codes and no buffer (entry_count 0,
//    last_value 0).
//  - the sparse list never takes more room than the dense registers (13108 bytes): its
//    buffer's capacity stays at or below 13107 bytes.
//  - every code is at most 0xFFFFFFD1 and at least 2, so 0xFFFFFFFF can mark a free slot.
//
// Keys. Every key is hashed with SipHash-1-3 under `value_key`, drawn from the calling
// thread's key state at creation (see key_state.h), so the same data may give slightly
// different estimates in different processes. Tests pass explicit keys.
//
// Cost. insert is one SipHash and a few bit operations. In the sparse form, every 132nd
// code that reaches temp_set (new or already listed) costs one pass over the list, which
// copies unchanged stretches as they stand; in the dense form nothing is allocated.
// insert_many of a long run in the sparse form gathers temp_set's distinct codes instead
// and merges them with one sort and one pass per few thousand codes (see
// insert_sparse_run); a long run also remembers recent keys' hashes, so repeated values
// are hashed about once per call.
// count costs at most one merge and one pass over the registers.
//
// Thread safety: none of its own. The owner serialises every call (a column's
// sketch_mutex); no operation takes a lock. Creation touches only the creating thread's
// key state. Lock order: the sketch takes no lock, so it adds nothing to the owner's.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sketch/key_state.h"

namespace sketch {

inline constexpr std::uint8_t kPrecision = 14;                   // p
inline constexpr std::uint8_t kSparsePrecision = 25;             // p'
inline constexpr std::uint64_t kRegisterCount = 1u << 14;        // m
inline constexpr std::uint64_t kSparseRegisterCount = 1u << 24;  // m' of the sparse estimate
inline constexpr std::uint64_t kDenseSizeLimit = 13107;          // bytes of the sparse list
inline constexpr std::size_t kRegisterWords = 3277;              // ceil(m / 5)
// temp_set is merged as soon as size * 100 > kDenseSizeLimit, that is at this many codes.
inline constexpr std::size_t kTempSetTrigger = kDenseSizeLimit / 100 + 1;
static_assert(kTempSetTrigger == 132);

// ---- Hash positions -----------------------------------------------------------------

// A dense register and the rank a hash offers it.
struct RegisterUpdate {
    std::uint32_t index = 0;  // 0 .. 16383
    std::uint32_t rank = 0;   // 1 .. 51
    friend bool operator==(const RegisterUpdate&, const RegisterUpdate&) = default;
};

// Dense insertion's view of a hash: the top 14 bits pick the register, the leading zeros
// of the rest (stopped by a guard bit) give the rank.
constexpr RegisterUpdate dense_update(std::uint64_t h) {
    const auto index = static_cast<std::uint32_t>(h >> (64 - kPrecision));
    const auto rank = 1u + static_cast<std::uint32_t>(std::countl_zero(
                               (h << kPrecision) | (std::uint64_t{1} << (kPrecision - 1))));
    return {index, rank};
}

// The sparse code of a hash: the 25-bit position P = h >> 39 and, when the 11 bits after
// the top 14 (D) are all zero, the rank beyond them (rho'), with flag bit 1.
constexpr std::uint32_t sparse_code(std::uint64_t h) {
    const auto position = static_cast<std::uint32_t>(h >> (64 - kSparsePrecision));
    const std::uint64_t between = (h << kPrecision) >> (64 - (kSparsePrecision - kPrecision));
    if (between != 0) {
        return position << 1;
    }
    const auto rho = 1u + static_cast<std::uint32_t>(
                              std::countl_zero((h << kSparsePrecision) | (std::uint64_t{1} << 24)));
    return (position << 7) | (rho << 1) | 1u;
}

// The register index and rank a sparse code stands for; equal to dense_update of any
// hash that gives this code.
constexpr RegisterUpdate decode_code(std::uint32_t code) {
    if (code & 1u) {
        return {code >> 18, ((code >> 1) & 63u) + (kSparsePrecision - kPrecision)};
    }
    return {(code << 6) >> 18, 1u + static_cast<std::uint32_t>(std::countl_zero(code << 20))};
}

// ---- The sparse list ----------------------------------------------------------------

// Sorted sparse codes as differences in 7-bit groups, least significant group first.
class DifIntVec {
  public:
    // Reads the codes in ascending order.
    class Cursor {
      public:
        explicit Cursor(const DifIntVec& list)
            : at_(list.bytes_.data()), end_(list.bytes_.data() + list.bytes_.size()) {}
        // Stores the next code in `code`; false at the end of the list.
        bool next(std::uint32_t& code);

      private:
        const std::uint8_t* at_;
        const std::uint8_t* end_;
        std::uint32_t total_ = 0;
    };

    DifIntVec() = default;
    static DifIntVec with_capacity(std::size_t bytes);

    // Bytes the difference takes in the list: 1 to 5.
    static constexpr std::size_t encoded_length(std::uint32_t difference) {
        return difference < (1u << 7)    ? 1
               : difference < (1u << 14) ? 2
               : difference < (1u << 21) ? 3
               : difference < (1u << 28) ? 4
                                         : 5;
    }

    // Appends a code larger than every code already present.
    void push(std::uint32_t code);

    // Bytes of a list holding exactly these codes (ascending, each once).
    static std::size_t encoded_size(std::span<const std::uint32_t> codes);
    // The list with `fresh` (strictly ascending) merged in, a code on both sides written
    // once; nothing if the result would take more than `byte_limit` bytes. The result's
    // buffer is allocated once and holds at most byte_limit bytes.
    static std::optional<DifIntVec> merge(const DifIntVec& list,
                                          std::span<const std::uint32_t> fresh,
                                          std::size_t byte_limit);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Gives back the buffer's room beyond the codes it holds.
    void shrink_to_fit() { bytes_.shrink_to_fit(); }
    std::uint64_t entry_count() const { return entry_count_; }
    std::uint32_t last_value() const { return last_value_; }

    // Calls f(code) for every code in ascending order.
    template <class F>
    void for_each(F&& f) const;

    // Reads the difference that starts at `at` and moves `at` past it. Every difference
    // in a list is complete and at most 5 bytes, so the read stays within the buffer and
    // the shifts below 32.
    static std::uint32_t read_difference(const std::uint8_t*& at) {
        std::uint32_t difference = 0;
        unsigned shift = 0;
        std::uint8_t byte;
        do {
            byte = *at++;
            difference |= static_cast<std::uint32_t>(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        return difference;
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t entry_count_ = 0;
    std::uint32_t last_value_ = 0;
};

inline bool DifIntVec::Cursor::next(std::uint32_t& code) {
    if (at_ == end_) {
        return false;
    }
    total_ += read_difference(at_);
    code = total_;
    return true;
}

template <class F>
void DifIntVec::for_each(F&& f) const {
    Cursor cursor(*this);
    std::uint32_t code;
    while (cursor.next(code)) {
        f(code);
    }
}

// ---- The dense registers ------------------------------------------------------------

// 16384 six-bit registers, five to a 32-bit word, lowest register in the lowest bits.
class RegistersPlus {
  public:
    static RegistersPlus with_count(std::uint64_t n);
    // 16384 registers from their packed words (kRegisterWords of them; the bits beyond the
    // last register zero, each register at most 63), counting the zero registers
    // (sketch_union.cpp).
    static RegistersPlus from_words(std::vector<std::uint32_t> words);
    // Raises every register to at least its value in other (sketch_union.cpp).
    void raise_all(const RegistersPlus& other);

    std::uint32_t get(std::size_t index) const;
    // Stores rank when it is greater than the register; keeps zero_count.
    void raise(std::size_t index, std::uint32_t rank);

    std::span<const std::uint32_t> words() const { return words_; }
    std::uint64_t register_count() const { return register_count_; }
    std::uint64_t zero_count() const { return zero_count_; }

  private:
    static constexpr unsigned kBits = 6;
    static constexpr std::uint32_t kMask = (1u << kBits) - 1;
    static constexpr std::size_t kPerWord = 5;

    std::vector<std::uint32_t> words_;
    std::uint64_t register_count_ = 0;
    std::uint64_t zero_count_ = 0;
};

inline std::uint32_t RegistersPlus::get(std::size_t index) const {
    const unsigned shift = kBits * static_cast<unsigned>(index % kPerWord);
    return (words_[index / kPerWord] >> shift) & kMask;
}

inline void RegistersPlus::raise(std::size_t index, std::uint32_t rank) {
    std::uint32_t& word = words_[index / kPerWord];
    const unsigned shift = kBits * static_cast<unsigned>(index % kPerWord);
    const std::uint32_t current = (word >> shift) & kMask;
    if (rank <= current) {
        return;
    }
    if (current == 0) {
        --zero_count_;
    }
    word = (word & ~(kMask << shift)) | (rank << shift);
}

// ---- The temporary set --------------------------------------------------------------

namespace detail {

// The unsorted codes in front of the sparse list: an open-addressing table of 256 slots
// with linear probing, filled to at most 132 codes (just over half) before the owner
// empties it. Its slot hash is keyed by the sketch's second key pair, so that no input
// can be chosen to collide in every sketch.
class TempSet {
  public:
    static constexpr std::size_t kSlots = 256;
    static constexpr std::uint32_t kFree = 0xFFFFFFFF;  // never a sparse code

    explicit TempSet(SipKey key) : key_(key) { slots_.fill(kFree); }

    // Adds the code; false if it was there already. At most kTempSetTrigger codes.
    bool insert(std::uint32_t code) {
        std::size_t slot = slot_of(code);
        while (slots_[slot] != kFree) {
            if (slots_[slot] == code) {
                return false;
            }
            slot = (slot + 1) % kSlots;
        }
        slots_[slot] = code;
        ++size_;
        return true;
    }

    std::size_t size() const { return size_; }
    // Writes every code to `out` in slot order; returns how many.
    std::size_t codes(std::array<std::uint32_t, kSlots>& out) const;
    // Writes every code to `out`, ascending; returns how many.
    std::size_t sorted_codes(std::array<std::uint32_t, kSlots>& out) const;
    void clear();

  private:
    std::size_t slot_of(std::uint32_t code) const {
        // Fixed odd multipliers spread the code over the high bits whatever the key; the
        // key words enter between them, so each sketch places codes its own way.
        std::uint64_t x = (code + key_.k0) * 0x9E3779B97F4A7C15ULL;
        x = ((x ^ (x >> 32)) ^ key_.k1) * 0xBF58476D1CE4E5B9ULL;
        return static_cast<std::size_t>(x >> 56);
    }

    SipKey key_;
    std::size_t size_ = 0;
    std::array<std::uint32_t, kSlots> slots_;
};

// Helpers of insert_many, defined with it.
class RunHasher;
class GatheredCodes;

}  // namespace detail

// ---- Stored state -------------------------------------------------------------------

// A sketch's content without its keys and with temp_set folded in: the sorted code list
// when sparse, the registers when dense. It depends only on the set of codes received, so
// two sketches under one value_key that received the same keys, in any order, split in
// any way, have equal states. Profiles store and merge sketches in this form.
struct SketchState {
    DifIntVec sparse;                        // the codes; empty when dense
    std::optional<RegistersPlus> registers;  // present when dense
};

// The two key pairs of a sketch: value_key for the values, temp_set_key for temp_set's
// slots. Sketches merge only under equal value keys.
struct SketchKeys {
    SipKey value_key;
    SipKey temp_set_key;
};

// ---- The sketch ---------------------------------------------------------------------

class CardinalitySketch {
  public:
    // Draws value_key, then the temp_set key, from the calling thread's key state.
    CardinalitySketch();
    // Explicit keys, for tests and reproducible runs.
    CardinalitySketch(SipKey value_key, SipKey temp_set_key);

    CardinalitySketch(const CardinalitySketch&) = delete;
    CardinalitySketch& operator=(const CardinalitySketch&) = delete;
    CardinalitySketch(CardinalitySketch&&) noexcept = default;
    CardinalitySketch& operator=(CardinalitySketch&&) noexcept = default;

    void insert(std::uint64_t key);
    // Same effect as inserting every key in turn.
    void insert_many(std::span<const std::uint64_t> keys);
    // The estimate; in the sparse form it merges temp_set first (see estimate.cpp).
    double count();

    bool is_dense() const { return registers_.has_value(); }
    // Inspection, for tests.
    SipKey value_key() const { return value_key_; }
    std::size_t temp_set_size() const { return temp_set_.size(); }
    const DifIntVec& sparse() const { return sparse_; }
    const RegistersPlus* registers() const { return registers_ ? &*registers_ : nullptr; }

    void merge_sparse();

    // Stored form and union (sketch_union.cpp). state() leaves the sketch as it is; the
    // union makes this sketch what one sketch given both key sets would be after count():
    // sparse with the joined codes while their list fits, dense (register-wise maximum)
    // otherwise. Both sketches must share value_key. Merging a sketch's own state changes
    // nothing.
    SketchState state() const;
    void merge(const SketchState& other);
    void merge(const CardinalitySketch& other) { merge(other.state()); }

  private:
    struct Keys {
        SipKey value_key;
        SipKey temp_set_key;
    };
    static Keys draw_keys();
    explicit CardinalitySketch(Keys keys);

    void insert_hash(std::uint64_t h);
    void insert_sparse(std::uint64_t h);
    void insert_dense_run(std::span<const std::uint64_t> keys, detail::RunHasher& hasher);
    std::size_t insert_sparse_run(std::span<const std::uint64_t> keys, detail::RunHasher& hasher);
    bool merge_gathered(detail::GatheredCodes& gathered);
    void turn_dense(std::span<const std::uint32_t> fresh_codes);

    SipKey value_key_;
    detail::TempSet temp_set_;
    DifIntVec sparse_;
    std::optional<RegistersPlus> registers_;
};

// ---- Estimation ---------------------------------------------------------------------

// alpha for m = 16384: 1.079 / m, plus 1, then 0.7213 divided by the sum.
inline constexpr double kAlpha = 0.7213 / (1.0 + 1.079 / static_cast<double>(kRegisterCount));
inline constexpr double kLinearCountingThreshold = 11500.0;
inline constexpr double kBiasCorrectionLimit = 5.0 * static_cast<double>(kRegisterCount);

// Linear counting over 2^24 buckets of a sparse list with `entry_count` codes.
double sparse_estimate(std::uint64_t entry_count);
// The estimate of dense registers: linear counting while it stays at or below 11500,
// else the raw estimate, bias-corrected up to 81920.
double dense_estimate(const RegistersPlus& registers);
// The raw estimate E = m^2 * alpha / sum of 2^-register, summed in register order.
double raw_estimate(const RegistersPlus& registers);
// E less its bias when E <= 81920, E itself above.
double bias_corrected(double e);

// The bias to subtract from a raw dense estimate E, interpolated in the precision-14
// empirical tables.
double estimate_bias(double e);

}  // namespace sketch
