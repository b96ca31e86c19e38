// Conversion: the values of a validated Arrow column folded into the column part the
// engine takes, counted exactly as the row path counts the Python objects the column's
// values become (`observe_dicts(table.to_pylist())`):
//
//   booleans and integers of every width    numbers (True is 1; a uint64 from 2^63 up is
//                                           keyed by its exact value, wide_unsigned_cell)
//   float16, float32, float64               numbers (NaN is null)
//   decimal32/64/128/256                    the nearest double, correctly rounded, as
//                                           float(Decimal) gives
//   utf8, large_utf8, utf8_view             text (not valid UTF-8: the input is refused)
//   dictionary-encoded, run-end encoded     as its values
//   sparse and dense unions                 as each item's child value
//   anything else                           null (binary, dates, times, timestamps,
//                                           durations, intervals, lists, structs, maps,
//                                           ...: no number or text in Python)
//   a null in the validity bitmap           null
//
// Cells are made only through the makers of profiler/typed_value.h, which own the value
// rules; the loops run a column at a time and allocate nothing per cell (a dictionary's,
// a run-end array's and a union's values are converted once per batch).
//
// Thread safety: reads the arrays only; no state.
#pragma once

#include <cstdint>
#include <string>

#include "arrow/c_abi.h"
#include "profiler/column_batch.h"
#include "profiler/value_key.h"

namespace arrow_input {

// Folds items [start, start + count) of `array` (checked by validate_column) into
// `part`, keyed under `keys`. Throws InvalidArray, naming `column`, for text that is not
// valid UTF-8.
void fold_column(const ArrowSchema& schema, const ArrowArray& array, std::int64_t start,
                 std::int64_t count, const profiler::ValueKeys& keys, const std::string& column,
                 profiler::ColumnPart& part);

// The nearest double to the decimal `words` x 10^-scale, rounded to nearest, ties to
// even: `words` is a two's complement integer of four 64-bit words, least significant
// first. Exposed for its tests.
double decimal_to_double(const std::uint64_t (&words)[4], std::int32_t scale);

// A half-precision float's value, exactly.
double half_to_double(std::uint16_t half);

}  // namespace arrow_input
