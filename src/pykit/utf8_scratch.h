// The UTF-8 scratch encoder: the UTF-8 of non-ASCII exact str values, encoded into buffers
// that one call reuses from value to value.
//
// Owns: the code point and byte buffers, and when a text is short enough for them. Knows
// nothing of cells, columns, the value rules or the engine: it turns one str into bytes.
//
// Thread safety: one encoder per call, used with the GIL held.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "pykit/py_ref.h"

namespace pykit {

// The UTF-8 of non-ASCII exact str values, written into buffers reused from one value to
// the next. The limited API offers a str's UTF-8 without a copy only by caching it inside
// the object for the object's whole life; the strict encoder instead allocates a bytes
// object per value, which costs more than the encoding of a short text. Here the text's
// code points are copied out (PyUnicode_AsUCS4) and encoded by common::encode_utf8: the
// same bytes, and nothing allocated once the buffers have grown to the call's longest
// text. This is the faster way at every length measured (8 to 16,000 code points, Latin,
// CJK and emoji); texts past kLongestText code points still take the interpreter's bytes
// object, only so that the buffers a builder keeps stay within 8 * kLongestText bytes.
class Utf8Scratch {
  public:
    static constexpr std::size_t kLongestText = 1 << 14;

    // Whether `text` (an exact str) is short enough to be encoded here.
    static bool fits(Py_ssize_t length) { return static_cast<std::size_t>(length) <= kLongestText; }
    // The UTF-8 of `text`, an exact str of `length` code points (<= kLongestText), valid
    // until the next call; false, with no exception pending, when it has no UTF-8 (it holds
    // a lone surrogate) or cannot be read.
    bool encode(PyObject* text, Py_ssize_t length, std::string_view& utf8);

  private:
    std::vector<char32_t> code_points_;
    std::vector<char> bytes_;
};

}  // namespace pykit
