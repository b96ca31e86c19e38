#include "pykit/utf8_scratch.h"

#include <span>

#include "common/utf8.h"

namespace pykit {

bool Utf8Scratch::encode(PyObject* text, Py_ssize_t length, std::string_view& utf8) {
    const auto count = static_cast<std::size_t>(length);
    if (code_points_.size() < count) {
        code_points_.resize(count);
        bytes_.resize(common::kMaxUtf8Bytes * count);
    }
    // The buffer is sized in Py_UCS4 units, which char32_t matches on every platform.
    static_assert(sizeof(char32_t) == sizeof(Py_UCS4));
    if (count > 0 && PyUnicode_AsUCS4(text, reinterpret_cast<Py_UCS4*>(code_points_.data()), length,
                                      0) == nullptr) {
        PyErr_Clear();
        return false;
    }
    const std::size_t size =
        common::encode_utf8(std::span<const char32_t>(code_points_.data(), count), bytes_.data());
    if (size == common::kNoUtf8) {
        return false;
    }
    utf8 = std::string_view(bytes_.data(), size);
    return true;
}

}  // namespace pykit
