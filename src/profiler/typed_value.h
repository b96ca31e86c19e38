// Typed values, rows and the compact cell that readers make of each value.
//
// `TypedValue` is the typed content of one cell: Null, Float, Int or Str (a borrowed view
// of UTF-8 text that may hold NUL bytes; the producer keeps it alive until the batch
// carrying it has been processed).
//
// `Cell` is one typed value in compact form: the reader's column number, tag, payload and
// sketch key. A cell holds what the engine needs of its value and nothing more: the payload
// is the double bits of a Float or the integer of an Int (for the bounds), and the key is
// the value's sketch key (value_key.h), worked out when the value is read, so that a Str's
// text need not outlive its reading. A Null has neither. The makers below are the one
// place that says which key each kind of value takes; how a cell then counts (its numeric
// reading, whether its key enters the sketch) is ColumnPart::add's (column_batch.h).
//
// A cell also says what kind of object its value came from (`Origin`): the column summary
// counts values by kind, and the value rules fold several kinds into one tag (a bool is an
// Int, a NaN float and a list are Null). Each maker sets the origin its kind usually has;
// a reader that knows better (a Python bool, a hook object, a JSON array) says so.
// Readers fold the cells of each row into their columns' parts as they go.
//
// Thread safety: plain values; no shared state.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "profiler/value_key.h"

namespace profiler {

enum class Tag : std::uint8_t { Null = 0, Float = 1, Int = 2, Str = 3 };

// The kind of object a value was, as Python would hold it: None, bool, int, float, str, or
// anything else (containers, bytes, decimals, dates, objects read through hooks).
enum class Origin : std::uint8_t { Null = 0, Bool = 1, Int = 2, Float = 3, Text = 4, Other = 5 };
inline constexpr std::size_t kOriginCount = 6;

class TypedValue {
  public:
    static TypedValue null() { return TypedValue(Tag::Null, 0, {}); }
    static TypedValue from_float(double x) {
        return TypedValue(Tag::Float, std::bit_cast<std::uint64_t>(x), {});
    }
    static TypedValue from_int(std::int64_t i) {
        return TypedValue(Tag::Int, static_cast<std::uint64_t>(i), {});
    }
    static TypedValue from_str(std::string_view text) { return TypedValue(Tag::Str, 0, text); }

    Tag tag() const { return tag_; }
    double as_float() const { return std::bit_cast<double>(bits_); }
    std::int64_t as_int() const { return static_cast<std::int64_t>(bits_); }
    std::string_view as_str() const { return text_; }

  private:
    TypedValue(Tag tag, std::uint64_t bits, std::string_view text)
        : tag_(tag), bits_(bits), text_(text) {}
    Tag tag_;
    std::uint64_t bits_;
    std::string_view text_;
};

// One cell of a batch, 24 bytes.
struct Cell {
    std::uint32_t column;  // the reader's number for the cell's column within its batch
    Tag tag;
    Origin origin;
    std::uint64_t payload;  // Float: double bits; Int: the integer; Str and Null: 0
    std::uint64_t key;      // the sketch key; Null: 0 (a NaN Float's is never used)
};
static_assert(sizeof(Cell) == 24);

// The makers. Each value kind has two forms: set_* writes the tag, origin, payload and key
// of a cell where it lies, member by member, leaving its column; *_cell returns a whole
// cell of a column. A reader that fills its row's cells in place uses the first: a whole
// cell built elsewhere and copied in would be read back in wider pieces than it was
// written in, which stalls the processor on every cell. The second is the first on a
// fresh cell, so the two cannot differ.
inline void set_null(Cell& cell, Origin origin = Origin::Null) {
    cell.tag = Tag::Null;
    cell.origin = origin;
    cell.payload = 0;
    cell.key = 0;
}
inline void set_float(Cell& cell, double x, Origin origin = Origin::Float) {
    cell.tag = Tag::Float;
    cell.origin = origin;
    cell.payload = std::bit_cast<std::uint64_t>(x);
    cell.key = float_key(x);
}
// A real number as a reader meets it: NaN is null by the value rules, any other a Float.
inline void set_real(Cell& cell, double x, Origin origin = Origin::Float) {
    if (x != x) {
        set_null(cell, origin);
    } else {
        set_float(cell, x, origin);
    }
}
inline void set_int(Cell& cell, std::int64_t i, const ValueKeys& keys,
                    Origin origin = Origin::Int) {
    cell.tag = Tag::Int;
    cell.origin = origin;
    cell.payload = static_cast<std::uint64_t>(i);
    cell.key = int_key(keys, i);
}
// A bool is the Int 1 or 0, so True, 1 and 1.0 are one value. bool_value is that rule for
// a reader that keys its ints later (the Python rows' raw cells).
constexpr std::int64_t bool_value(bool b) { return b ? 1 : 0; }
inline void set_bool(Cell& cell, bool b, const ValueKeys& keys) {
    set_int(cell, bool_value(b), keys, Origin::Bool);
}
// An integer in [2^63, 2^64): a Float by the value rules, keyed by its exact value.
inline void set_wide_unsigned(Cell& cell, std::uint64_t u, const ValueKeys& keys,
                              Origin origin = Origin::Int) {
    const auto x = static_cast<double>(u);
    cell.tag = Tag::Float;
    cell.origin = origin;
    cell.payload = std::bit_cast<std::uint64_t>(x);
    cell.key = wide_unsigned_key(keys, u);
}
// An integer beyond 64 bits, given its nearest double: a Float, or Null when even that
// overflows (as a Python int that big fails its conversion to float).
inline void set_huge_int(Cell& cell, double nearest, Origin origin = Origin::Int) {
    if (std::isinf(nearest)) {
        set_null(cell, origin);
    } else {
        set_float(cell, nearest, origin);
    }
}
inline void set_str(Cell& cell, std::string_view utf8, const ValueKeys& keys,
                    Origin origin = Origin::Text) {
    cell.tag = Tag::Str;
    cell.origin = origin;
    cell.payload = 0;
    cell.key = text_key(keys, utf8);
}
// A text whose key is worked out later, with others in bulk (bulk_text_keys, value_key.h):
// a Str with no key yet, until set_text_key gives it the key bulk_text_keys made for its text.
inline void set_str_unkeyed(Cell& cell, Origin origin = Origin::Text) {
    cell.tag = Tag::Str;
    cell.origin = origin;
    cell.payload = 0;
    cell.key = 0;
}
inline void set_text_key(Cell& cell, std::uint64_t bulk_key) {
    cell.key = bulk_key;
}

namespace detail {
inline Cell fresh_cell(std::uint32_t column) {
    Cell cell;
    cell.column = column;
    return cell;
}
}  // namespace detail

inline Cell null_cell(std::uint32_t column, Origin origin = Origin::Null) {
    Cell cell = detail::fresh_cell(column);
    set_null(cell, origin);
    return cell;
}
inline Cell float_cell(std::uint32_t column, double x, Origin origin = Origin::Float) {
    Cell cell = detail::fresh_cell(column);
    set_float(cell, x, origin);
    return cell;
}
inline Cell real_cell(std::uint32_t column, double x, Origin origin = Origin::Float) {
    Cell cell = detail::fresh_cell(column);
    set_real(cell, x, origin);
    return cell;
}
inline Cell int_cell(std::uint32_t column, std::int64_t i, const ValueKeys& keys,
                     Origin origin = Origin::Int) {
    Cell cell = detail::fresh_cell(column);
    set_int(cell, i, keys, origin);
    return cell;
}
inline Cell bool_cell(std::uint32_t column, bool b, const ValueKeys& keys) {
    Cell cell = detail::fresh_cell(column);
    set_bool(cell, b, keys);
    return cell;
}
inline Cell wide_unsigned_cell(std::uint32_t column, std::uint64_t u, const ValueKeys& keys,
                               Origin origin = Origin::Int) {
    Cell cell = detail::fresh_cell(column);
    set_wide_unsigned(cell, u, keys, origin);
    return cell;
}
inline Cell huge_int_cell(std::uint32_t column, double nearest, Origin origin = Origin::Int) {
    Cell cell = detail::fresh_cell(column);
    set_huge_int(cell, nearest, origin);
    return cell;
}
inline Cell str_cell(std::uint32_t column, std::string_view utf8, const ValueKeys& keys,
                     Origin origin = Origin::Text) {
    Cell cell = detail::fresh_cell(column);
    set_str(cell, utf8, keys, origin);
    return cell;
}

}  // namespace profiler
