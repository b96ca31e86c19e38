// RegistersPlus: the dense form's registers, six bits each, five to a 32-bit word.
//
// Packing: register i is bits 6 * (i mod 5) to 6 * (i mod 5) + 5 of word i / 5, the lowest
// register of a word in its lowest bits. Bits 30 and 31 of every word stay 0, and so do the
// unused top registers of the last word. A register holds 0 (nothing seen) or a rank of 1
// to 51; raising only ever stores a larger rank, so raising is idempotent and the order of
// updates does not matter.
//
// Invariants: zero_count is the number of registers still 0; it starts at register_count and
// only goes down.
//
// Thread safety: none of its own; the owning sketch's caller serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace sketch {

// 16384 six-bit registers, five to a 32-bit word, lowest register in the lowest bits.
class RegistersPlus {
  public:
    static RegistersPlus with_count(std::uint64_t n);
    // 16384 zero registers in `storage`, which allocates nothing when its capacity holds
    // kRegisterWords words.
    static RegistersPlus zeroed(std::vector<std::uint32_t> storage);
    // 16384 registers from their packed words (kRegisterWords of them; the bits beyond the
    // last register zero, each register at most 63), counting the zero registers
    // (sketch_union.cpp).
    static RegistersPlus from_words(std::vector<std::uint32_t> words);
    // Raises every register to at least its value in other, in place (sketch_union.cpp).
    void raise_all(const RegistersPlus& other);
    // Copies other's registers into this one's storage, allocating nothing when it has
    // room for them.
    void assign(const RegistersPlus& other);
    // Gives up the words' storage, for reuse.
    std::vector<std::uint32_t> take_storage() && { return std::move(words_); }

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
    static_assert(kBits * kPerWord <= 30, "bits 30 and 31 of every word stay 0");
    static_assert(kMask >= 51, "a register holds every rank up to 51");

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

}  // namespace sketch
