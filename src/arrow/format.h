// What an Arrow format string says about an array: its kind, how many buffers and
// children the C data interface gives it, and the parameters some kinds carry (a
// decimal's width and scale, a fixed size).
//
// Every format of the C data interface is known here, including those whose values
// count as null (binary, temporal, nested); a string that is none of them is refused by
// the validator, since its buffers could not be told apart.
//
// Thread safety: pure functions, no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace arrow_input {

enum class Kind : std::uint8_t {
    Null,
    Bool,
    Int8,
    UInt8,
    Int16,
    UInt16,
    Int32,
    UInt32,
    Int64,
    UInt64,
    Float16,
    Float32,
    Float64,
    Decimal,      // d:P,S[,bits]; bits 32, 64, 128 (the default) or 256
    Utf8,         // u: int32 offsets
    LargeUtf8,    // U: int64 offsets
    Utf8View,     // vu
    Binary,       // z
    LargeBinary,  // Z
    BinaryView,   // vz
    FixedBinary,  // w:N
    Temporal,     // dates, times, timestamps, durations, intervals: one fixed-width buffer
    List,         // +l
    LargeList,    // +L
    ListView,     // +vl
    LargeListView,  // +vL
    FixedList,    // +w:N
    Struct,       // +s
    Map,          // +m
    SparseUnion,  // +us:ids
    DenseUnion,   // +ud:ids
    RunEnd,       // +r
};

struct Format {
    Kind kind = Kind::Null;
    std::int64_t buffers = 0;        // the buffer count required (views: the least)
    std::int64_t children = 0;       // the child count required; -1: any (struct, union)
    std::int32_t decimal_bits = 0;   // Decimal: 32, 64, 128 or 256
    std::int32_t decimal_scale = 0;  // Decimal: digits after the point (may be negative)
    std::int64_t fixed_size = 0;     // FixedBinary: bytes per item; FixedList: items per item
    std::int64_t union_types = 0;    // unions: the number of type ids listed
};

// The format's meaning, or nothing when the string is not a format of the interface.
std::optional<Format> parse_format(std::string_view format);

// A union's children by type id: child_of[id] is the child that type id `id` names, or
// -1. False when the format is not a union's.
bool union_children(std::string_view format, std::int8_t (&child_of)[128]);

// Integer kinds: the only ones a dictionary's indices may take.
inline bool is_integer(Kind kind) {
    return kind >= Kind::Int8 && kind <= Kind::UInt64;
}

}  // namespace arrow_input
