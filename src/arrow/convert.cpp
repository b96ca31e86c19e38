#include "arrow/convert.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "arrow/buffers.h"
#include "arrow/format.h"
#include "arrow/validate.h"
#include "common/utf8.h"
#include "profiler/typed_value.h"

namespace arrow_input {

using profiler::Cell;
using profiler::Origin;
using profiler::ValueKeys;

namespace {

// A cell with its text (a Str cell's, for the column summary; empty for the others).
struct Item {
    Item(const Cell& cell, std::string_view text = {}) : cell(cell), text(text) {}  // NOLINT
    Cell cell;
    std::string_view text;
};

// Where a column's cells go: a part (a column), or a table of cells (a dictionary's,
// a run-end array's or a union child's values, which rows then pick from). Text that is
// not UTF-8 is reported to the sink rather than thrown at once, since only a table value
// that some row uses makes its column invalid; "item" in the message is the batch's row.
class PartSink {
  public:
    PartSink(profiler::ColumnPart& part, const std::string& column) : part_(part), column_(column) {}
    void add(const Item& item) { part_.add(item.cell, item.text); }
    [[noreturn]] void bad_text(std::int64_t item) const {
        throw InvalidArray("column '" + column_ + "': item " + std::to_string(item) +
                           " is not valid UTF-8");
    }

  private:
    profiler::ColumnPart& part_;
    const std::string& column_;
};

class TableSink {
  public:
    explicit TableSink(std::size_t size) {
        items.reserve(size);
        bad.reserve(size);
    }
    void add(const Item& item) {
        items.push_back(item);
        bad.push_back(0);
    }
    void bad_text(std::int64_t) {
        items.push_back(profiler::null_cell(0));
        bad.push_back(1);
    }
    std::vector<Item> items;         // texts view the array's buffers
    std::vector<unsigned char> bad;  // 1: the value is text that is not UTF-8
};

// Calls make(p) for each valid item's physical index p and gives the sink its cell; a
// null item is a null cell. `make` returns a cell (with its text, for a text), or nothing
// for text that is not UTF-8.
template <class Sink, class Make>
void each_item(const ArrowArray& array, std::int64_t start, std::int64_t count, Sink& sink,
               Make&& make) {
    const void* validity = validity_of(array);
    const std::int64_t base = array.offset + start;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t p = base + i;
        if (!is_valid(validity, p)) {
            sink.add(profiler::null_cell(0));
            continue;
        }
        const std::optional<Item> item = make(p);
        if (item) {
            sink.add(*item);
        } else {
            sink.bad_text(i);
        }
    }
}

template <class Sink>
void each_null(std::int64_t count, Sink& sink) {
    for (std::int64_t i = 0; i < count; ++i) {
        sink.add(profiler::null_cell(0));
    }
}

template <class T, class Sink>
void integers(const ArrowArray& array, std::int64_t start, std::int64_t count,
              const ValueKeys& keys, Sink& sink) {
    const void* data = array.buffers[1];
    each_item(array, start, count, sink, [&](std::int64_t p) -> std::optional<Item> {
        const T value = load<T>(data, p);
        if constexpr (std::is_same_v<T, std::uint64_t>) {
            if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return profiler::wide_unsigned_cell(0, value, keys);
            }
        }
        return profiler::int_cell(0, static_cast<std::int64_t>(value), keys);
    });
}

template <class T, class Sink>
void floats(const ArrowArray& array, std::int64_t start, std::int64_t count, Sink& sink) {
    const void* data = array.buffers[1];
    each_item(array, start, count, sink, [&](std::int64_t p) -> std::optional<Item> {
        return profiler::real_cell(0, static_cast<double>(load<T>(data, p)));
    });
}

// Whether every byte is ASCII, eight at a time: then every value is valid UTF-8 and
// none needs its own check.
bool all_ascii(const unsigned char* bytes, std::size_t size) {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        high |= load<std::uint64_t>(bytes + i, 0);
    }
    for (; i < size; ++i) {
        high |= bytes[i];
    }
    return (high & 0x8080808080808080ULL) == 0;
}

template <class Offset, class Sink>
void texts(const ArrowArray& array, std::int64_t start, std::int64_t count,
           const ValueKeys& keys, Sink& sink) {
    if (count == 0) {
        return;
    }
    const void* offsets = array.buffers[1];
    const auto* data = static_cast<const unsigned char*>(array.buffers[2]);
    const std::int64_t first = load<Offset>(offsets, array.offset + start);
    const std::int64_t last = load<Offset>(offsets, array.offset + start + count);
    const bool ascii = data == nullptr || all_ascii(data + first, static_cast<std::size_t>(last - first));
    each_item(array, start, count, sink, [&](std::int64_t p) -> std::optional<Item> {
        const std::int64_t begin = load<Offset>(offsets, p);
        const auto size = static_cast<std::size_t>(load<Offset>(offsets, p + 1) - begin);
        const unsigned char* text = size == 0 ? nullptr : data + begin;
        if (!ascii && !common::valid_utf8({text, size})) {
            return std::nullopt;
        }
        const std::string_view utf8(reinterpret_cast<const char*>(text), size);
        return Item(profiler::str_cell(0, utf8, keys), utf8);
    });
}

template <class Sink>
void text_views(const ArrowArray& array, std::int64_t start, std::int64_t count,
                const ValueKeys& keys, Sink& sink) {
    const auto* views = static_cast<const unsigned char*>(array.buffers[1]);
    each_item(array, start, count, sink, [&](std::int64_t p) -> std::optional<Item> {
        const unsigned char* view = views + 16 * p;
        const auto size = static_cast<std::size_t>(load<std::int32_t>(view, 0));
        const unsigned char* text = view + 4;
        if (size > 12) {
            const auto buffer = load<std::int32_t>(view + 8, 0);
            const auto offset = load<std::int32_t>(view + 12, 0);
            text = static_cast<const unsigned char*>(array.buffers[2 + buffer]) + offset;
        }
        if (!all_ascii(text, size) && !common::valid_utf8({text, size})) {
            return std::nullopt;
        }
        const std::string_view utf8(reinterpret_cast<const char*>(text), size);
        return Item(profiler::str_cell(0, utf8, keys), utf8);
    });
}

// A decimal of `bits` bits at physical index p, sign-extended to four words.
void decimal_words(const void* data, std::int64_t p, std::int32_t bits, std::uint64_t (&words)[4]) {
    const std::int64_t count = bits <= 64 ? 1 : bits / 64;
    if (bits == 32) {
        words[0] = static_cast<std::uint64_t>(std::int64_t{load<std::int32_t>(data, p)});
    } else {
        const auto* item = static_cast<const unsigned char*>(data) + p * (bits / 8);
        for (std::int64_t w = 0; w < count; ++w) {
            // Arrow stores a wide decimal in the machine's byte order: the least
            // significant word first on a little-endian machine.
            const std::int64_t at =
                std::endian::native == std::endian::little ? w : count - 1 - w;
            words[static_cast<std::size_t>(w)] = load<std::uint64_t>(item + 8 * at, 0);
        }
    }
    const std::uint64_t fill = (words[static_cast<std::size_t>(count - 1)] >> 63) != 0 ? ~0ULL : 0;
    for (auto w = static_cast<std::size_t>(count); w < 4; ++w) {
        words[w] = fill;
    }
}

template <class Sink>
void decimals(const ArrowArray& array, const Format& format, std::int64_t start,
              std::int64_t count, Sink& sink) {
    const void* data = array.buffers[1];
    each_item(array, start, count, sink, [&](std::int64_t p) -> std::optional<Item> {
        std::uint64_t words[4];
        decimal_words(data, p, format.decimal_bits, words);
        // A decimal.Decimal in Python: a number by the value rules, of another kind.
        return profiler::float_cell(0, decimal_to_double(words, format.decimal_scale),
                                    Origin::Other);
    });
}

template <class Sink>
void emit(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
          std::int64_t count, const ValueKeys& keys, Sink& sink);

// A dictionary's values become cells once; each row then takes its value's cell.
template <class Index, class Sink>
void dictionary_as(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
                   std::int64_t count, const ValueKeys& keys, Sink& sink) {
    const ArrowArray& values = *array.dictionary;
    TableSink table(static_cast<std::size_t>(values.length));
    emit(*schema.dictionary, values, 0, values.length, keys, table);
    const void* indices = array.buffers[1];
    each_item(array, start, count, sink, [&](std::int64_t p) -> std::optional<Item> {
        const auto index = static_cast<std::size_t>(load<Index>(indices, p));
        if (table.bad[index] != 0) {
            return std::nullopt;
        }
        return table.items[index];
    });
}

template <class Sink>
void dictionary(const ArrowSchema& schema, const ArrowArray& array, Kind index_kind,
                std::int64_t start, std::int64_t count, const ValueKeys& keys, Sink& sink) {
    switch (index_kind) {
        case Kind::Int8: return dictionary_as<std::int8_t>(schema, array, start, count, keys, sink);
        case Kind::UInt8: return dictionary_as<std::uint8_t>(schema, array, start, count, keys, sink);
        case Kind::Int16: return dictionary_as<std::int16_t>(schema, array, start, count, keys, sink);
        case Kind::UInt16: return dictionary_as<std::uint16_t>(schema, array, start, count, keys, sink);
        case Kind::Int32: return dictionary_as<std::int32_t>(schema, array, start, count, keys, sink);
        case Kind::UInt32: return dictionary_as<std::uint32_t>(schema, array, start, count, keys, sink);
        case Kind::Int64: return dictionary_as<std::int64_t>(schema, array, start, count, keys, sink);
        default: return dictionary_as<std::uint64_t>(schema, array, start, count, keys, sink);
    }
}

// Hands the sink a table entry: its cell, or its text fault.
template <class Sink>
void add_entry(const TableSink& table, std::size_t index, std::int64_t item, Sink& sink) {
    if (table.bad[index] != 0) {
        sink.bad_text(item);
    } else {
        sink.add(table.items[index]);
    }
}

// Run-end encoding: each run's value once, then every row takes its run's cell.
template <class End, class Sink>
void runs_as(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
             std::int64_t count, const ValueKeys& keys, Sink& sink) {
    const ArrowArray& ends = *array.children[0];
    TableSink values(static_cast<std::size_t>(ends.length));
    emit(*schema.children[1], *array.children[1], 0, ends.length, keys, values);
    const std::int64_t first = array.offset + start;
    // The run holding the first row: the first whose end lies past it.
    std::int64_t low = 0;
    std::int64_t high = ends.length;
    while (low < high) {
        const std::int64_t mid = low + (high - low) / 2;
        if (load<End>(ends.buffers[1], ends.offset + mid) <= first) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    std::int64_t run = low;
    for (std::int64_t i = 0; i < count; ++i) {
        while (load<End>(ends.buffers[1], ends.offset + run) <= first + i) {
            ++run;
        }
        add_entry(values, static_cast<std::size_t>(run), i, sink);
    }
}

template <class Sink>
void runs(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
          std::int64_t count, const ValueKeys& keys, Sink& sink) {
    const std::string_view format(schema.children[0]->format);
    if (format == "s") {
        return runs_as<std::int16_t>(schema, array, start, count, keys, sink);
    }
    if (format == "i") {
        return runs_as<std::int32_t>(schema, array, start, count, keys, sink);
    }
    return runs_as<std::int64_t>(schema, array, start, count, keys, sink);
}

// A union: each item is its type id's child's value. A sparse union's children hold the
// union's positions; a dense one's offsets point into its child.
template <class Sink>
void union_values(const ArrowSchema& schema, const ArrowArray& array, bool dense,
                  std::int64_t start, std::int64_t count, const ValueKeys& keys, Sink& sink) {
    std::int8_t child_of[128];
    union_children(schema.format, child_of);
    const std::int64_t first = array.offset + start;
    std::vector<TableSink> children;
    children.reserve(static_cast<std::size_t>(array.n_children));
    for (std::int64_t c = 0; c < array.n_children; ++c) {
        const ArrowArray& child = *array.children[c];
        const std::int64_t from = dense ? 0 : first;
        const std::int64_t size = dense ? child.length : count;
        children.emplace_back(static_cast<std::size_t>(size));
        emit(*schema.children[c], child, from, size, keys, children.back());
    }
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int8_t id = load<std::int8_t>(array.buffers[0], first + i);
        const TableSink& child = children[static_cast<std::size_t>(child_of[id])];
        const std::int64_t at = dense ? load<std::int32_t>(array.buffers[1], first + i) : i;
        add_entry(child, static_cast<std::size_t>(at), i, sink);
    }
}

template <class Sink>
void emit(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
          std::int64_t count, const ValueKeys& keys, Sink& sink) {
    const Format format = *parse_format(schema.format);  // validated
    if (schema.dictionary != nullptr) {
        return dictionary(schema, array, format.kind, start, count, keys, sink);
    }
    switch (format.kind) {
        case Kind::Bool: {
            const void* bits = array.buffers[1];
            return each_item(array, start, count, sink, [&](std::int64_t p) -> std::optional<Item> {
                return profiler::bool_cell(0, bit_set(bits, p), keys);
            });
        }
        case Kind::Int8: return integers<std::int8_t>(array, start, count, keys, sink);
        case Kind::UInt8: return integers<std::uint8_t>(array, start, count, keys, sink);
        case Kind::Int16: return integers<std::int16_t>(array, start, count, keys, sink);
        case Kind::UInt16: return integers<std::uint16_t>(array, start, count, keys, sink);
        case Kind::Int32: return integers<std::int32_t>(array, start, count, keys, sink);
        case Kind::UInt32: return integers<std::uint32_t>(array, start, count, keys, sink);
        case Kind::Int64: return integers<std::int64_t>(array, start, count, keys, sink);
        case Kind::UInt64: return integers<std::uint64_t>(array, start, count, keys, sink);
        case Kind::Float16: {
            const void* data = array.buffers[1];
            return each_item(array, start, count, sink, [&](std::int64_t p) -> std::optional<Item> {
                return profiler::real_cell(0, half_to_double(load<std::uint16_t>(data, p)));
            });
        }
        case Kind::Float32: return floats<float>(array, start, count, sink);
        case Kind::Float64: return floats<double>(array, start, count, sink);
        case Kind::Decimal: return decimals(array, format, start, count, sink);
        case Kind::Utf8: return texts<std::int32_t>(array, start, count, keys, sink);
        case Kind::LargeUtf8: return texts<std::int64_t>(array, start, count, keys, sink);
        case Kind::Utf8View: return text_views(array, start, count, keys, sink);
        case Kind::RunEnd: return runs(schema, array, start, count, keys, sink);
        case Kind::SparseUnion: return union_values(schema, array, false, start, count, keys, sink);
        case Kind::DenseUnion: return union_values(schema, array, true, start, count, keys, sink);
        case Kind::Null:
            return each_null(count, sink);
        default:
            // No number and no text in Python: null whatever the validity bitmap says,
            // but a valid item is some other object (bytes, a date, a list, a dict).
            return each_item(array, start, count, sink, [](std::int64_t) -> std::optional<Item> {
                return profiler::null_cell(0, Origin::Other);
            });
    }
}

constexpr std::array<double, 23> kPowersOfTen = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Divides the 256-bit magnitude by 10^19 in place, returning the remainder.
std::uint64_t divide_by_1e19(std::uint64_t (&words)[4]) {
    constexpr std::uint64_t kDivisor = 10000000000000000000ULL;
    unsigned __int128 remainder = 0;
    for (int w = 3; w >= 0; --w) {
        const unsigned __int128 current = (remainder << 64) | words[w];
        words[w] = static_cast<std::uint64_t>(current / kDivisor);
        remainder = current % kDivisor;
    }
    return static_cast<std::uint64_t>(remainder);
}

}  // namespace

double half_to_double(std::uint16_t half) {
    const int exponent = (half >> 10) & 0x1F;
    const int mantissa = half & 0x3FF;
    double value;
    if (exponent == 0) {
        value = std::ldexp(mantissa, -24);
    } else if (exponent == 31) {
        value = mantissa != 0 ? std::numeric_limits<double>::quiet_NaN()
                              : std::numeric_limits<double>::infinity();
    } else {
        value = std::ldexp(mantissa + 1024, exponent - 25);
    }
    return (half & 0x8000) != 0 ? -value : value;
}

double decimal_to_double(const std::uint64_t (&words)[4], std::int32_t scale) {
    std::uint64_t magnitude[4] = {words[0], words[1], words[2], words[3]};
    const bool negative = (words[3] >> 63) != 0;
    if (negative) {
        // Two's complement negation: invert, add one.
        unsigned carry = 1;
        for (auto& w : magnitude) {
            w = ~w + carry;
            carry = carry != 0 && w == 0 ? 1 : 0;
        }
    }
    const bool small = magnitude[1] == 0 && magnitude[2] == 0 && magnitude[3] == 0 &&
                       magnitude[0] <= (std::uint64_t{1} << 53);
    if (small && scale >= -22 && scale <= 22) {
        // Both factors are exact doubles, so the one rounding of the division or the
        // product is the correct rounding of the decimal.
        const auto m = static_cast<double>(magnitude[0]);
        const double x = scale >= 0 ? m / kPowersOfTen[static_cast<std::size_t>(scale)]
                                    : m * kPowersOfTen[static_cast<std::size_t>(-scale)];
        return negative ? -x : x;
    }
    // Otherwise in full through the C library's correctly rounded reading of
    // "-DIGITSe-SCALE", as float(Decimal) reads the decimal's text.
    char digits[4 * 20 + 1];  // 2^256 has 78 digits
    int length = 0;
    char text[4 * 20 + 20];
    do {
        std::uint64_t group = divide_by_1e19(magnitude);
        const bool more = (magnitude[0] | magnitude[1] | magnitude[2] | magnitude[3]) != 0;
        for (int d = 0; d < 19 && (more || group != 0); ++d) {
            digits[length++] = static_cast<char>('0' + group % 10);
            group /= 10;
        }
    } while ((magnitude[0] | magnitude[1] | magnitude[2] | magnitude[3]) != 0);
    int at = 0;
    if (negative) {
        text[at++] = '-';
    }
    if (length == 0) {
        text[at++] = '0';
    }
    while (length > 0) {
        text[at++] = digits[--length];
    }
    std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "e%lld",
                  -static_cast<long long>(scale));
    return std::strtod(text, nullptr);
}

void fold_column(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
                 std::int64_t count, const ValueKeys& keys, const std::string& column,
                 profiler::ColumnPart& part) {
    PartSink sink(part, column);
    emit(schema, array, start, count, keys, sink);
}

}  // namespace arrow_input
