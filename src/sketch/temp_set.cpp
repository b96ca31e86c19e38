#include "sketch/temp_set.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace sketch {

std::size_t TempSet::codes(std::array<std::uint32_t, kSlots>& out) const {
    return table_.copy_taken(out.data(), [](std::uint32_t code) { return code; });
}

std::size_t TempSet::sorted_codes(std::array<std::uint32_t, kSlots>& out) const {
    const std::size_t n = codes(out);
    std::sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

}  // namespace sketch
