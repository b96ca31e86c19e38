#include "sketch/registers_plus.h"

#include <cstddef>
#include <cstdint>

namespace sketch {

RegistersPlus RegistersPlus::with_count(std::uint64_t n) {
    RegistersPlus registers;
    registers.words_.assign(static_cast<std::size_t>((n + kPerWord - 1) / kPerWord), 0);
    registers.register_count_ = n;
    registers.zero_count_ = n;
    return registers;
}

}  // namespace sketch
