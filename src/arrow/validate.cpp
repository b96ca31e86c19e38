#include "arrow/validate.h"

#include <limits>
#include <string_view>

#include "arrow/buffers.h"
#include "arrow/format.h"

namespace arrow_input {

namespace {

constexpr std::int64_t kMaxIndex = std::numeric_limits<std::int64_t>::max();

// Where in a column the array being checked sits, for the messages: the column's label
// and the path of children below it (empty at the column itself).
struct Place {
    const std::string& column;
    std::string path;
};

[[noreturn]] void fail(const Place& at, const std::string& what) {
    // An empty column label stands for the record batch itself.
    std::string message = at.column.empty() ? "record batch" : "column '" + at.column + "'";
    if (!at.path.empty()) {
        message += " at " + at.path;
    }
    throw InvalidArray(message + ": " + what);
}

Place child_place(const Place& at, const ArrowSchema& child, std::int64_t index) {
    std::string step = child.name != nullptr && child.name[0] != '\0'
                           ? "'" + std::string(child.name) + "'"
                           : "child " + std::to_string(index);
    return Place{at.column, at.path.empty() ? step : at.path + "." + step};
}

// Whether the kind's first buffer is a validity bitmap.
bool has_validity(Kind kind) {
    return kind != Kind::Null && kind != Kind::SparseUnion && kind != Kind::DenseUnion &&
           kind != Kind::RunEnd;
}

void check_sizes(const ArrowArray& array, const Place& at) {
    if (array.length < 0) {
        fail(at, "negative length " + std::to_string(array.length));
    }
    if (array.offset < 0) {
        fail(at, "negative offset " + std::to_string(array.offset));
    }
    if (array.offset > kMaxIndex - array.length) {
        fail(at, "offset plus length passes 2^63 - 1");
    }
    if (array.null_count < -1 || array.null_count > array.length) {
        fail(at, "null count " + std::to_string(array.null_count) + " out of range for length " +
                     std::to_string(array.length));
    }
}

void check_buffer_count(const ArrowArray& array, const Format& format, const Place& at,
                        std::string_view name) {
    const bool views = format.kind == Kind::Utf8View || format.kind == Kind::BinaryView;
    const bool right = views ? array.n_buffers >= format.buffers : array.n_buffers == format.buffers;
    if (!right) {
        fail(at, "format '" + std::string(name) + "' takes " + (views ? "at least " : "") +
                     std::to_string(format.buffers) + " buffers, the array has " +
                     std::to_string(array.n_buffers));
    }
    if (array.n_buffers > 0 && array.buffers == nullptr) {
        fail(at, "the array has buffers but no buffer list");
    }
}

void check_children(const ArrowSchema& schema, const ArrowArray& array, const Format& format,
                    const Place& at) {
    if (schema.n_children < 0 || array.n_children != schema.n_children) {
        fail(at, "the schema has " + std::to_string(schema.n_children) + " children, the array " +
                     std::to_string(array.n_children));
    }
    if (format.children >= 0 && array.n_children != format.children) {
        fail(at, "format '" + std::string(schema.format) + "' takes " +
                     std::to_string(format.children) + " children, the array has " +
                     std::to_string(array.n_children));
    }
    if (array.n_children > 0 && (schema.children == nullptr || array.children == nullptr)) {
        fail(at, "children are declared but not given");
    }
    for (std::int64_t i = 0; i < array.n_children; ++i) {
        if (schema.children[i] == nullptr || array.children[i] == nullptr) {
            fail(at, "child " + std::to_string(i) + " is missing");
        }
    }
    if ((schema.dictionary == nullptr) != (array.dictionary == nullptr)) {
        fail(at, schema.dictionary == nullptr ? "the array has a dictionary its schema lacks"
                                              : "the schema has a dictionary the array lacks");
    }
}

// A missing validity bitmap is allowed only when no item is null (or nulls are not
// counted, and so none is taken to be null: the bitmap is what makes an item null).
void check_validity(const ArrowArray& array, const Format& format, const Place& at) {
    if (has_validity(format.kind) && array.null_count > 0 && array.buffers[0] == nullptr) {
        fail(at, "null count " + std::to_string(array.null_count) + " but no validity bitmap");
    }
}

void require_buffer(const ArrowArray& array, std::int64_t index, const Place& at) {
    if (array.buffers[index] == nullptr) {
        fail(at, "buffer " + std::to_string(index) + " is missing");
    }
}

// Offsets of items [0, length): non-negative, never decreasing, the last at most `limit`
// (a child's length; -1: no limit). Returns the first and last offsets.
template <class Offset>
std::pair<std::int64_t, std::int64_t> check_offsets(const ArrowArray& array, std::int64_t limit,
                                                    const Place& at) {
    if (array.length == 0) {
        return {0, 0};
    }
    require_buffer(array, 1, at);
    const void* offsets = array.buffers[1];
    const std::int64_t first = load<Offset>(offsets, array.offset);
    if (first < 0) {
        fail(at, "negative offset " + std::to_string(first) + " at item 0");
    }
    Offset previous = static_cast<Offset>(first);
    for (std::int64_t i = 1; i <= array.length; ++i) {
        const Offset next = load<Offset>(offsets, array.offset + i);
        if (next < previous) {
            fail(at, "offsets decrease at item " + std::to_string(i - 1));
        }
        previous = next;
    }
    if (limit >= 0 && previous > limit) {
        fail(at, "offsets end at " + std::to_string(previous) + ", past the child's length " +
                     std::to_string(limit));
    }
    return {first, previous};
}

void check_binary(const ArrowArray& array, bool large, const Place& at) {
    const auto [first, last] = large ? check_offsets<std::int64_t>(array, -1, at)
                                     : check_offsets<std::int32_t>(array, -1, at);
    if (last > first) {
        require_buffer(array, 2, at);
    }
}

// Views: 16 bytes an item, its length first; up to 12 bytes are held inline, a longer
// item names a variadic buffer and an offset in it. The last buffer holds the variadic
// buffers' sizes (int64), which every view must stay within.
void check_views(const ArrowArray& array, const Place& at) {
    const std::int64_t variadic = array.n_buffers - 3;
    const void* sizes = array.buffers[array.n_buffers - 1];
    if (variadic > 0 && sizes == nullptr) {
        fail(at, "the variadic buffer sizes are missing");
    }
    for (std::int64_t b = 0; b < variadic; ++b) {
        if (load<std::int64_t>(sizes, b) < 0) {
            fail(at, "variadic buffer " + std::to_string(b) + " has a negative size");
        }
    }
    if (array.length == 0) {
        return;
    }
    require_buffer(array, 1, at);
    const void* validity = validity_of(array);
    const auto* views = static_cast<const unsigned char*>(array.buffers[1]);
    for (std::int64_t i = 0; i < array.length; ++i) {
        const std::int64_t p = array.offset + i;
        if (!is_valid(validity, p)) {
            continue;
        }
        const auto* view = views + 16 * p;
        const std::int32_t length = load<std::int32_t>(view, 0);
        if (length < 0) {
            fail(at, "item " + std::to_string(i) + " has a negative length");
        }
        if (length <= 12) {
            continue;
        }
        const std::int32_t buffer = load<std::int32_t>(view + 8, 0);
        const std::int32_t offset = load<std::int32_t>(view + 12, 0);
        if (buffer < 0 || buffer >= variadic) {
            fail(at, "item " + std::to_string(i) + " names buffer " + std::to_string(buffer) +
                         " of " + std::to_string(variadic));
        }
        if (offset < 0 ||
            std::int64_t{offset} + length > load<std::int64_t>(sizes, buffer)) {
            fail(at, "item " + std::to_string(i) + " lies outside its buffer");
        }
        require_buffer(array, 2 + buffer, at);
    }
}

template <class Index>
void check_indices_as(const ArrowArray& array, std::int64_t size, const Place& at) {
    const void* validity = validity_of(array);
    const void* indices = array.buffers[1];
    for (std::int64_t i = 0; i < array.length; ++i) {
        const std::int64_t p = array.offset + i;
        if (!is_valid(validity, p)) {
            continue;
        }
        const Index index = load<Index>(indices, p);
        // Compared in the index's own signedness: a uint64 index past 2^63 is out of range.
        const bool inside = index >= 0 && static_cast<std::uint64_t>(index) <
                                              static_cast<std::uint64_t>(size);
        if (!inside) {
            fail(at, "dictionary index " + std::to_string(index) + " at item " +
                         std::to_string(i) + " is outside the dictionary of " +
                         std::to_string(size));
        }
    }
}

void check_indices(const ArrowArray& array, Kind kind, std::int64_t size, const Place& at) {
    if (array.length == 0) {
        return;
    }
    require_buffer(array, 1, at);
    switch (kind) {
        case Kind::Int8:
            return check_indices_as<std::int8_t>(array, size, at);
        case Kind::UInt8:
            return check_indices_as<std::uint8_t>(array, size, at);
        case Kind::Int16:
            return check_indices_as<std::int16_t>(array, size, at);
        case Kind::UInt16:
            return check_indices_as<std::uint16_t>(array, size, at);
        case Kind::Int32:
            return check_indices_as<std::int32_t>(array, size, at);
        case Kind::UInt32:
            return check_indices_as<std::uint32_t>(array, size, at);
        case Kind::Int64:
            return check_indices_as<std::int64_t>(array, size, at);
        default:
            return check_indices_as<std::uint64_t>(array, size, at);
    }
}

void check_array(const ArrowSchema& schema, const ArrowArray& array, const Place& at, int depth);

// Each child checked, and at least `least` items long (-1: no demand).
void check_each_child(const ArrowSchema& schema, const ArrowArray& array, std::int64_t least,
                      const Place& at, int depth) {
    for (std::int64_t i = 0; i < array.n_children; ++i) {
        const Place below = child_place(at, *schema.children[i], i);
        check_array(*schema.children[i], *array.children[i], below, depth + 1);
        if (array.children[i]->length < least) {
            fail(below, "length " + std::to_string(array.children[i]->length) +
                            " is shorter than its parent's offset plus length " +
                            std::to_string(least));
        }
    }
}

// A union's type ids each name a child; a dense union's offsets lie within that child.
void check_type_ids(const ArrowSchema& schema, const ArrowArray& array, const Place& at) {
    if (array.length == 0) {
        return;
    }
    std::int8_t child_of[128];
    union_children(schema.format, child_of);
    const bool dense = schema.format[2] == 'd';
    require_buffer(array, 0, at);
    if (dense) {
        require_buffer(array, 1, at);
    }
    for (std::int64_t i = 0; i < array.length; ++i) {
        const std::int64_t p = array.offset + i;
        const std::int8_t id = load<std::int8_t>(array.buffers[0], p);
        if (id < 0 || child_of[id] < 0) {
            fail(at, "type id " + std::to_string(id) + " at item " + std::to_string(i) +
                         " names no child");
        }
        if (dense) {
            const std::int32_t offset = load<std::int32_t>(array.buffers[1], p);
            if (offset < 0 || offset >= array.children[child_of[id]]->length) {
                fail(at, "offset " + std::to_string(offset) + " at item " + std::to_string(i) +
                             " is outside its child");
            }
        }
    }
}

// Run-end encoding: run ends of int16, int32 or int64, never null, rising, the last at
// least the array's offset plus length, with a value for every run.
template <class End>
void check_run_ends(const ArrowArray& array, const Place& at) {
    const ArrowArray& ends = *array.children[0];
    const ArrowArray& values = *array.children[1];
    if (validity_of(ends) != nullptr) {
        for (std::int64_t k = 0; k < ends.length; ++k) {
            if (!bit_set(ends.buffers[0], ends.offset + k)) {
                fail(at, "run end " + std::to_string(k) + " is null");
            }
        }
    }
    if (values.length < ends.length) {
        fail(at, std::to_string(ends.length) + " runs but " + std::to_string(values.length) +
                     " values");
    }
    std::int64_t previous = 0;
    for (std::int64_t k = 0; k < ends.length; ++k) {
        const std::int64_t next = load<End>(ends.buffers[1], ends.offset + k);
        if (next <= previous) {
            fail(at, "run ends do not rise at run " + std::to_string(k));
        }
        previous = next;
    }
    if (array.length > 0 && previous < array.offset + array.length) {
        fail(at, "the runs end at " + std::to_string(previous) +
                     ", before the array's offset plus length");
    }
}

void check_runs(const ArrowSchema& schema, const ArrowArray& array, const Place& at) {
    const ArrowSchema& ends = *schema.children[0];
    const std::string_view format(ends.format);
    if (ends.dictionary != nullptr || (format != "s" && format != "i" && format != "l")) {
        fail(at, "run ends of format '" + std::string(format) + "', not int16, int32 or int64");
    }
    if (array.children[0]->length > 0) {
        require_buffer(*array.children[0], 1, at);
    }
    if (format == "s") {
        return check_run_ends<std::int16_t>(array, at);
    }
    if (format == "i") {
        return check_run_ends<std::int32_t>(array, at);
    }
    return check_run_ends<std::int64_t>(array, at);
}

// What each kind demands beyond the structure.
void check_kind(const ArrowSchema& schema, const ArrowArray& array, const Format& format,
                const Place& at, int depth) {
    const std::int64_t end = array.offset + array.length;
    switch (format.kind) {
        case Kind::Utf8:
        case Kind::Binary:
            return check_binary(array, false, at);
        case Kind::LargeUtf8:
        case Kind::LargeBinary:
            return check_binary(array, true, at);
        case Kind::Utf8View:
        case Kind::BinaryView:
            return check_views(array, at);
        case Kind::List:
        case Kind::Map:
            check_each_child(schema, array, -1, at, depth);
            check_offsets<std::int32_t>(array, array.children[0]->length, at);
            break;
        case Kind::LargeList:
            check_each_child(schema, array, -1, at, depth);
            check_offsets<std::int64_t>(array, array.children[0]->length, at);
            break;
        case Kind::FixedList:
            if (format.fixed_size > 0 && end > kMaxIndex / format.fixed_size) {
                fail(at, "the fixed-size list holds more than 2^63 - 1 items");
            }
            return check_each_child(schema, array, end * format.fixed_size, at, depth);
        case Kind::Struct:
            return check_each_child(schema, array, end, at, depth);
        case Kind::SparseUnion:
            check_each_child(schema, array, end, at, depth);
            return check_type_ids(schema, array, at);
        case Kind::DenseUnion:
            check_each_child(schema, array, -1, at, depth);
            return check_type_ids(schema, array, at);
        case Kind::RunEnd:
            check_each_child(schema, array, -1, at, depth);
            return check_runs(schema, array, at);
        case Kind::ListView:
        case Kind::LargeListView:
            // Their values count as null and their offsets are never read.
            return check_each_child(schema, array, -1, at, depth);
        default:
            if (array.length > 0 && format.buffers >= 2) {
                require_buffer(array, 1, at);
            }
            return;
    }
    if (format.kind == Kind::Map) {
        const ArrowSchema& entries = *schema.children[0];
        if (std::string_view(entries.format) != "+s" || entries.n_children != 2) {
            fail(at, "a map's child must be a struct of two fields");
        }
    }
}

void check_dictionary(const ArrowSchema& schema, const ArrowArray& array, const Format& format,
                      const Place& at, int depth) {
    if (!is_integer(format.kind)) {
        fail(at, "dictionary indices of format '" + std::string(schema.format) +
                     "', not an integer");
    }
    const Place values{at.column, at.path.empty() ? "dictionary" : at.path + ".dictionary"};
    check_array(*schema.dictionary, *array.dictionary, values, depth + 1);
    check_indices(array, format.kind, array.dictionary->length, at);
}

void check_array(const ArrowSchema& schema, const ArrowArray& array, const Place& at, int depth) {
    if (depth > kMaxDepth) {
        fail(at, "nested more than " + std::to_string(kMaxDepth) + " levels deep");
    }
    if (schema.format == nullptr) {
        fail(at, "the schema has no format");
    }
    const std::string_view name(schema.format);
    const std::optional<Format> format = parse_format(name);
    if (!format) {
        fail(at, "unknown format '" + std::string(name) + "'");
    }
    check_sizes(array, at);
    check_buffer_count(array, *format, at, name);
    check_children(schema, array, *format, at);
    check_validity(array, *format, at);
    if (schema.dictionary != nullptr) {
        check_dictionary(schema, array, *format, at, depth);
        return;
    }
    check_kind(schema, array, *format, at, depth);
}

}  // namespace

std::string column_label(const ArrowSchema& schema, std::int64_t index) {
    const ArrowSchema* child = schema.children != nullptr ? schema.children[index] : nullptr;
    if (child != nullptr && child->name != nullptr && child->name[0] != '\0') {
        return child->name;
    }
    return "#" + std::to_string(index);
}

void validate_column(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
                     std::int64_t count, const std::string& column) {
    const Place at{column, {}};
    check_array(schema, array, at, 0);
    if (array.length < start || array.length - start < count) {
        fail(at, "length " + std::to_string(array.length) +
                     " is shorter than the batch's offset plus length");
    }
}

void validate_batch(const ArrowSchema& schema, const ArrowArray& array) {
    if (schema.format == nullptr || std::string_view(schema.format) != "+s") {
        throw InvalidArray(
            "the schema is not a struct (format '" +
            std::string(schema.format == nullptr ? "" : schema.format) +
            "'): a record batch's schema is a struct with one child per column");
    }
    const std::string batch;
    const Place at{batch, {}};
    check_sizes(array, at);
    if (array.n_buffers != 1 || array.buffers == nullptr) {
        fail(at, "a struct array has 1 buffer, this one " + std::to_string(array.n_buffers));
    }
    const Format top{Kind::Struct, 1, -1, 0, 0, 0, 0};
    check_children(schema, array, top, at);
    if (const void* validity = validity_of(array); validity != nullptr) {
        for (std::int64_t i = 0; i < array.length; ++i) {
            if (!bit_set(validity, array.offset + i)) {
                fail(at, "row " + std::to_string(i) + " is null; a record batch has no null rows");
            }
        }
    }
    for (std::int64_t i = 0; i < array.n_children; ++i) {
        validate_column(*schema.children[i], *array.children[i], array.offset, array.length,
                        column_label(schema, i));
    }
}

}  // namespace arrow_input
