#include "arrow/format.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>

namespace arrow_input {

namespace {

// A whole decimal number in `text` (an optional minus sign when `sign`), range-checked.
std::optional<std::int64_t> whole_number(std::string_view text, bool sign) {
    if (text.empty() || (!sign && text.front() == '-')) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

Format simple(Kind kind, std::int64_t buffers) {
    Format format;
    format.kind = kind;
    format.buffers = buffers;
    return format;
}

Format nested(Kind kind, std::int64_t buffers, std::int64_t children) {
    Format format = simple(kind, buffers);
    format.children = children;
    return format;
}

// "d:P,S" or "d:P,S,B": precision 1 and up, any scale, B one of 32, 64, 128, 256.
std::optional<Format> decimal(std::string_view rest) {
    const auto first = rest.find(',');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const auto second = rest.find(',', first + 1);
    const auto precision = whole_number(rest.substr(0, first), false);
    const auto scale = whole_number(
        rest.substr(first + 1, second == std::string_view::npos ? second : second - first - 1),
        true);
    std::optional<std::int64_t> bits = 128;
    if (second != std::string_view::npos) {
        bits = whole_number(rest.substr(second + 1), false);
    }
    if (!precision || !scale || !bits || *precision < 1 ||
        *scale < std::numeric_limits<std::int32_t>::min() / 2 ||
        *scale > std::numeric_limits<std::int32_t>::max() / 2 ||
        (*bits != 32 && *bits != 64 && *bits != 128 && *bits != 256)) {
        return std::nullopt;
    }
    Format format = simple(Kind::Decimal, 2);
    format.decimal_bits = static_cast<std::int32_t>(*bits);
    format.decimal_scale = static_cast<std::int32_t>(*scale);
    return format;
}

// "w:N" and "+w:N": N a whole number (at least 1 byte for a binary, any for a list).
std::optional<Format> fixed(Kind kind, std::string_view size, std::int64_t least) {
    const auto n = whole_number(size, false);
    if (!n || *n < least || *n > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    Format format = kind == Kind::FixedBinary ? simple(kind, 2) : nested(kind, 1, 1);
    format.fixed_size = *n;
    return format;
}

// "+us:I,J,..." and "+ud:..." list the type ids, one per child.
std::optional<Format> union_of(Kind kind, std::string_view ids) {
    std::int64_t count = 0;
    while (true) {
        const auto comma = ids.find(',');
        const auto id = whole_number(ids.substr(0, comma), false);
        if (!id || *id > 127) {
            return std::nullopt;
        }
        ++count;
        if (comma == std::string_view::npos) {
            break;
        }
        ids.remove_prefix(comma + 1);
    }
    Format format = nested(kind, kind == Kind::SparseUnion ? 1 : 2, count);
    format.union_types = count;
    return format;
}

// "t...": dates, times, timestamps (with a time zone after the colon), durations,
// intervals. All have a validity bitmap and one buffer of fixed-width values.
std::optional<Format> temporal(std::string_view rest) {
    static constexpr std::string_view kPlain[] = {"dD", "dm", "ts", "tm", "tu", "tn", "Ds",
                                                  "Dm", "Du", "Dn", "iM", "iD", "in"};
    for (const std::string_view plain : kPlain) {
        if (rest == plain) {
            return simple(Kind::Temporal, 2);
        }
    }
    if (rest.size() >= 3 && rest[0] == 's' && rest[2] == ':' &&
        std::string_view("smun").find(rest[1]) != std::string_view::npos) {
        return simple(Kind::Temporal, 2);
    }
    return std::nullopt;
}

std::optional<Format> one_letter(char letter) {
    switch (letter) {
        case 'n':
            return simple(Kind::Null, 0);
        case 'b':
            return simple(Kind::Bool, 2);
        case 'c':
            return simple(Kind::Int8, 2);
        case 'C':
            return simple(Kind::UInt8, 2);
        case 's':
            return simple(Kind::Int16, 2);
        case 'S':
            return simple(Kind::UInt16, 2);
        case 'i':
            return simple(Kind::Int32, 2);
        case 'I':
            return simple(Kind::UInt32, 2);
        case 'l':
            return simple(Kind::Int64, 2);
        case 'L':
            return simple(Kind::UInt64, 2);
        case 'e':
            return simple(Kind::Float16, 2);
        case 'f':
            return simple(Kind::Float32, 2);
        case 'g':
            return simple(Kind::Float64, 2);
        case 'u':
            return simple(Kind::Utf8, 3);
        case 'U':
            return simple(Kind::LargeUtf8, 3);
        case 'z':
            return simple(Kind::Binary, 3);
        case 'Z':
            return simple(Kind::LargeBinary, 3);
        default:
            return std::nullopt;
    }
}

std::optional<Format> nested_format(std::string_view rest) {
    if (rest == "l") {
        return nested(Kind::List, 2, 1);
    }
    if (rest == "L") {
        return nested(Kind::LargeList, 2, 1);
    }
    if (rest == "vl") {
        return nested(Kind::ListView, 3, 1);
    }
    if (rest == "vL") {
        return nested(Kind::LargeListView, 3, 1);
    }
    if (rest == "s") {
        return nested(Kind::Struct, 1, -1);
    }
    if (rest == "m") {
        return nested(Kind::Map, 2, 1);
    }
    if (rest == "r") {
        return nested(Kind::RunEnd, 0, 2);
    }
    if (rest.starts_with("w:")) {
        return fixed(Kind::FixedList, rest.substr(2), 0);
    }
    if (rest.starts_with("us:")) {
        return union_of(Kind::SparseUnion, rest.substr(3));
    }
    if (rest.starts_with("ud:")) {
        return union_of(Kind::DenseUnion, rest.substr(3));
    }
    return std::nullopt;
}

}  // namespace

bool union_children(std::string_view format, std::int8_t (&child_of)[128]) {
    std::fill(std::begin(child_of), std::end(child_of), static_cast<std::int8_t>(-1));
    if (!format.starts_with("+us:") && !format.starts_with("+ud:")) {
        return false;
    }
    std::string_view ids = format.substr(4);
    std::int8_t child = 0;
    while (true) {
        const auto comma = ids.find(',');
        const auto id = whole_number(ids.substr(0, comma), false);
        if (!id || *id > 127) {
            return false;
        }
        child_of[*id] = child++;
        if (comma == std::string_view::npos) {
            return true;
        }
        ids.remove_prefix(comma + 1);
    }
}

std::optional<Format> parse_format(std::string_view format) {
    if (format.size() == 1) {
        return one_letter(format[0]);
    }
    if (format == "vu") {
        return simple(Kind::Utf8View, 3);
    }
    if (format == "vz") {
        return simple(Kind::BinaryView, 3);
    }
    if (format.starts_with("d:")) {
        return decimal(format.substr(2));
    }
    if (format.starts_with("w:")) {
        return fixed(Kind::FixedBinary, format.substr(2), 1);
    }
    if (format.starts_with("t")) {
        return temporal(format.substr(1));
    }
    if (format.starts_with("+")) {
        return nested_format(format.substr(1));
    }
    return std::nullopt;
}

}  // namespace arrow_input
