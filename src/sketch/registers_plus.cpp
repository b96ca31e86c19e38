#include "sketch/registers_plus.h"

#include "sketch/hash_position.h"

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

RegistersPlus RegistersPlus::zeroed(std::vector<std::uint32_t> storage) {
    RegistersPlus registers;
    storage.assign(static_cast<std::size_t>((kRegisterCount + kPerWord - 1) / kPerWord), 0);
    registers.words_ = std::move(storage);
    registers.register_count_ = kRegisterCount;
    registers.zero_count_ = kRegisterCount;
    return registers;
}

void RegistersPlus::assign(const RegistersPlus& other) {
    words_.assign(other.words_.begin(), other.words_.end());
    register_count_ = other.register_count_;
    zero_count_ = other.zero_count_;
}

}  // namespace sketch
