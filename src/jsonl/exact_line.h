// ExactLineParser: reads one line as Python's json.loads reads a str, for the lines that
// the SIMD parser refuses.
//
// The SIMD parser is strict JSON. json.loads accepts more, and a line it accepts must not
// be lost: the bare constants NaN, Infinity and -Infinity; integers of any length; floats
// beyond a double's range (1e400 is infinity); and \uXXXX escapes that leave a lone
// surrogate in a text. Such lines are rare, so this parser reads bytes one at a time and
// follows json.loads step by step: the same grammar, the same whitespace (space, tab, CR,
// LF), control characters refused inside strings, a high surrogate escape joined with a
// low one that follows it, and otherwise kept alone.
//
// Each value becomes the cell the makers (typed_value.h) give the Python object that
// json.loads makes of it, so the row reader and this parser type values alike:
//   - an integer: an int (int_cell within the signed 64-bit range, wide_unsigned_cell up
//     to 2^64, beyond that huge_int_cell of its correctly rounded double); an integer
//     literal of more digits than the interpreter's int digit limit fails json.loads itself;
//   - a fraction or exponent: a float, correctly rounded (overflow gives infinity), as
//     are NaN, Infinity and -Infinity (real_cell);
//   - true and false: bool_cell; null: null_cell; arrays and objects: Other, null;
//   - a text: str_cell, or Null of Origin::Text when it holds a lone surrogate (no UTF-8
//     form, so no Python str the row reader could read).
// A key with a lone surrogate cannot become a column name: the line is refused
// (LineKind::BadKey), after the whole line has been read, since json.loads would have
// refused a malformed line first.
//
// Nesting deeper than kMaxNesting arrays and objects refuses the line: json.loads gives
// up near a thousand levels (its recursion limit), the exact depth depending on the
// caller's stack.
//
// Thread safety: one parser per thread; it keeps scratch buffers between lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "profiler/typed_value.h"
#include "profiler/value_key.h"

namespace jsonl {

// Arrays and objects nested deeper than this refuse their line.
inline constexpr int kMaxNesting = 900;

enum class LineKind : std::uint8_t {
    Object,     // an object: fields() holds its members
    NotJson,    // json.loads refuses it: message() says why
    NotObject,  // valid JSON of another kind
    BadKey,     // an object with a key that holds a lone surrogate
};

class ExactLineParser {
  public:
    // A member of the line's object. The cell's column is left 0.
    struct Field {
        std::uint32_t name_offset;  // into the name text
        std::uint32_t name_size;
        profiler::Cell cell;
        std::uint32_t text_offset;  // a text value's decoded bytes, in the name text too
        std::uint32_t text_size;
    };

    // max_int_digits: the longest integer literal accepted (0: any), as the interpreter's
    // int_max_str_digits.
    ExactLineParser(const profiler::ValueKeys& keys, std::size_t max_int_digits)
        : keys_(keys), max_int_digits_(max_int_digits) {}

    // Reads a line of valid UTF-8 without its line feed.
    LineKind parse(std::string_view line);

    // After LineKind::Object: the members in line order, repeated keys included. Valid
    // until the next parse.
    std::span<const Field> fields() const { return fields_; }
    std::string_view name(const Field& field) const {
        return std::string_view(names_).substr(field.name_offset, field.name_size);
    }
    // A text field's decoded value (empty for other fields).
    std::string_view text(const Field& field) const {
        return std::string_view(names_).substr(field.text_offset, field.text_size);
    }
    // After LineKind::NotJson: what json.loads would have objected to, and where.
    const std::string& message() const { return message_; }

  private:
    bool value(profiler::Cell* out, int depth);
    bool object(int depth, bool top);
    bool array(int depth);
    bool string(bool& lone_surrogate);
    bool number(profiler::Cell* out);
    bool literal(std::string_view word);
    bool fail(const char* what);
    bool fail_at(std::size_t at, const char* what);

    void skip_whitespace();
    bool at_end() const { return pos_ >= line_.size(); }
    char peek() const { return at_end() ? '\0' : line_[pos_]; }

    const profiler::ValueKeys& keys_;
    const std::size_t max_int_digits_;
    std::string_view line_;
    std::size_t pos_ = 0;
    bool bad_key_ = false;
    std::string text_;    // the last string read, decoded
    std::string names_;   // the top object's keys, back to back
    std::string digits_;  // a number's text, NUL-terminated for strtod
    std::vector<Field> fields_;
    std::string message_;
};

}  // namespace jsonl
