// The validator: what an array's producer declared is checked before anything of it is
// read, so that no read goes past what was declared.
//
// The C data interface gives buffers without sizes; what may be read is implied by the
// format, `offset` and `length`, and for variable-length types by offsets stored in the
// buffers. So the validator checks what can be checked:
//   - the format string is one of the interface's; `n_buffers` and `n_children` are what
//     it requires, and the schema and the array agree on children and dictionary;
//   - `length` and `offset` are non-negative and their sum fits; `null_count` is -1
//     (not counted) or at most `length`, and an array with nulls has a validity bitmap;
//   - every buffer that will be read is present;
//   - binary and text offsets start at zero or above and never decrease, list and map
//     offsets also end within the child; view items (binary and text views) lie within
//     the variadic buffer they name, whose size the interface passes;
//   - a union's type ids name its children and a dense union's offsets lie within them;
//     run ends are integers that rise, are never null, have a value each and reach the
//     array's end;
//   - a dictionary's indices lie within the dictionary; a struct's and a sparse union's
//     children are at least as long as the parent's offset plus length, a fixed-size
//     list's child holds its items.
// Children and dictionaries are checked the same way, to a nesting depth of kMaxDepth.
//
// A failure throws InvalidArray naming the column (and the path inside it) and what was
// wrong; nothing has been read beyond what was checked so far.
//
// Thread safety: reads the arrays only; no state.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "arrow/c_abi.h"

namespace arrow_input {

// Data that breaks the interface's rules: the caller refuses the whole input.
class InvalidArray : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

inline constexpr int kMaxDepth = 64;

// Checks one top-level column: `array` against `schema`, of which items
// [start, start + count) will be read (a batch's offset and length).
void validate_column(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
                     std::int64_t count, const std::string& column);

// Checks a record batch: `schema` a struct ("+s") with one child per column, `array` a
// struct array with as many children and no null rows, and each column as above.
void validate_batch(const ArrowSchema& schema, const ArrowArray& array);

// The name of top-level column `index` as the messages give it: its field name, or its
// number when the schema gives none.
std::string column_label(const ArrowSchema& schema, std::int64_t index);

}  // namespace arrow_input
