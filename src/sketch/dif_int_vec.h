// DifIntVec: the sparse form's sorted list of distinct sparse codes, each stored as its
// difference from the code before it (from 0 for the first) in 7-bit groups, least
// significant group first, bit 7 set on every byte but a difference's last. A difference
// takes 1 to 5 bytes: 5 is written 0x05, 300 is written 0xAC 0x02.
//
// Invariants: codes strictly ascending, each once; the buffer always ends on a complete
// difference; entry_count is the number of codes and last_value the largest (0 when empty).
//
// Thread safety: none of its own; the owning sketch's caller serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sketch {

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
    // The same merge written into `out` (not `list`), reusing its buffer: nothing is
    // allocated when out's capacity holds min(list bytes + 5 per fresh code, byte_limit).
    // False, with `out` holding no meaningful list, if the result would pass byte_limit.
    static bool merge_into(const DifIntVec& list, std::span<const std::uint32_t> fresh,
                           std::size_t byte_limit, DifIntVec& out);
    // The same with the codes of another list as the fresh codes, read in place.
    static bool merge_into(const DifIntVec& list, const DifIntVec& fresh,
                           std::size_t byte_limit, DifIntVec& out);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Gives back the buffer's room beyond the codes it holds. Never throws: when no
    // smaller buffer can be had, the list keeps its room.
    void shrink_to_fit() noexcept { bytes_.shrink_to_fit(); }
    // Makes room for `bytes` in all without changing the codes; throws bad_alloc.
    void reserve(std::size_t bytes) { bytes_.reserve(bytes); }
    std::size_t capacity() const { return bytes_.capacity(); }
    // Empties the list, keeping its buffer.
    void clear() noexcept {
        bytes_.clear();
        entry_count_ = 0;
        last_value_ = 0;
    }
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
    template <class Codes>
    static bool merge_codes(const DifIntVec& list, const Codes& fresh, std::size_t byte_limit,
                            DifIntVec& out);

    std::vector<std::uint8_t> bytes_;
    std::uint64_t entry_count_ = 0;
    std::uint32_t last_value_ = 0;
};

static_assert(DifIntVec::encoded_length(0xFFFFFFFF) == 5,
              "a difference takes at most five 7-bit groups, so reading shifts by less than 32");

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

}  // namespace sketch
