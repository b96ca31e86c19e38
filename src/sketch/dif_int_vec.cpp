#include <cstddef>
#include <cstdint>

#include "sketch/cardinality_sketch.h"

namespace sketch {

DifIntVec DifIntVec::with_capacity(std::size_t bytes) {
    DifIntVec list;
    list.bytes_.reserve(bytes);
    return list;
}

void DifIntVec::push(std::uint32_t code) {
    std::uint32_t difference = code - last_value_;
    while (difference >= 0x80) {
        bytes_.push_back(static_cast<std::uint8_t>(difference | 0x80));
        difference >>= 7;
    }
    bytes_.push_back(static_cast<std::uint8_t>(difference));
    ++entry_count_;
    last_value_ = code;
}

bool DifIntVec::push_within(std::uint32_t code, std::size_t byte_limit) {
    if (bytes_.size() + encoded_length(code - last_value_) > byte_limit) {
        return false;
    }
    push(code);
    return true;
}

RegistersPlus RegistersPlus::with_count(std::uint64_t n) {
    RegistersPlus registers;
    registers.words_.assign(static_cast<std::size_t>((n + kPerWord - 1) / kPerWord), 0);
    registers.register_count_ = n;
    registers.zero_count_ = n;
    return registers;
}

}  // namespace sketch
