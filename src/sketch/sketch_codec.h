// The stored layout of a cardinality sketch's state, as a profile's column carries it.
//
//   sparse: the list's length in bytes (varint) and the list as the sketch holds it
//     (DifIntVec: each code's difference from the one before, in 7-bit groups);
//   dense: the 16384 registers, 6 bits each, register i in bits 6i..6i+5 (12288 bytes).
//
// Which of the two a state takes is the container's to record (a profile column keeps it
// in its flags); read_sketch is told. Reading checks everything it reads before relying on
// it: a list within the size at which a sketch turns dense, made of complete differences in
// their shortest form, of codes that are valid and strictly ascending; registers of at most
// 51 (the largest rank a 64-bit hash gives at this precision). A failure throws
// common::FormatError naming the field, prefixed with the container's label.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/byte_io.h"
#include "sketch/cardinality_sketch.h"

namespace sketch {

inline bool is_dense(const SketchState& state) {
    return state.registers.has_value();
}

// The bytes write_sketch adds for this state.
std::size_t stored_size(const SketchState& state);

void write_sketch(common::ByteWriter& w, const SketchState& state);

SketchState read_sketch(common::ByteReader& r, bool dense, const std::string& label);

// How many distinct values the state has certainly seen: its non-zero registers, or its
// codes. No state holds more than the values it was given.
std::uint64_t entry_count(const SketchState& state);

}  // namespace sketch
