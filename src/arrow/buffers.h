// Reading an Arrow array's buffers: values by physical index (the array's offset plus
// the logical one), through memcpy, since a foreign producer's buffers need not be
// aligned, and validity bits (a missing bitmap: every item valid).
//
// The caller has validated the array (validate.h): every index read here lies within
// what its producer declared.
//
// Thread safety: pure functions, no state.
#pragma once

#include <cstdint>
#include <cstring>

#include "arrow/c_abi.h"

namespace arrow_input {

template <class T>
T load(const void* buffer, std::int64_t index) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(buffer) + index * static_cast<std::int64_t>(sizeof(T)),
                sizeof(T));
    return value;
}

inline bool bit_set(const void* bitmap, std::int64_t index) {
    const auto byte = static_cast<const unsigned char*>(bitmap)[index >> 3];
    return ((byte >> (index & 7)) & 1) != 0;
}

// The validity bitmap of an array, or null when every item is valid. The interface lets
// a producer leave it out when no item is null.
inline const void* validity_of(const ArrowArray& array) {
    if (array.n_buffers < 1 || array.null_count == 0) {
        return nullptr;
    }
    return array.buffers[0];
}

// Whether the item at physical index `index` is valid under `validity` (validity_of).
inline bool is_valid(const void* validity, std::int64_t index) {
    return validity == nullptr || bit_set(validity, index);
}

}  // namespace arrow_input
