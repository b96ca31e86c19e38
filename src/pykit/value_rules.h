// The value rules: which Python value makes which raw cell (None; integers through
// __index__; reals through __float__, NaN as null; str as its text; everything else null),
// and the type-name text of conversion errors.
//
// Owns: the reading of one value object, the split between the exact built-in types (read
// by type alone, running no Python code) and the general rules (where hooks may run), and
// which exceptions of a failed attempt are dropped. Knows nothing of dictionaries, keys,
// column names or the row walk: a value comes with its batch column and leaves as a cell.
//
// Thread safety: called with the GIL held; a text goes through the caller's fold pipeline.
#pragma once

#include <cstdint>
#include <string>

#include "pykit/py_ref.h"
#include "pykit/utf8_scratch.h"
#include "ingest/fold_pipeline.h"
#include "ingest/raw_cell.h"

namespace pykit {

// The raw cell of one value by the value rules (None; integers through __index__;
// reals through __float__, NaN as null; str as its text; everything else null). Failed
// attempts' exceptions are dropped when they are an Exception; any other (a
// PanicException, KeyboardInterrupt, SystemExit, ...) ends the call. A text goes through
// `sink` (keyed now, or copied into its chunk); a non-ASCII one is encoded in `scratch`.
ingest::RawCell convert_value(std::uint32_t column, PyObject* value, ingest::FoldPipeline& sink,
                                Utf8Scratch& scratch);

// Whether the value rules read this value by its type alone, running no Python code: None,
// the exact int, float, str and bool, and the exact containers (null without trying their
// hooks). These are the types the reader converts before any hook may run.
bool reads_without_python(PyObject* value);

// Throws TypeError "'{type}' object cannot be converted to '{target}'", the type being
// the __qualname__ of object's type or "<failed to extract type name>".
[[noreturn]] void throw_cannot_convert(PyObject* object, const char* target);

// The __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_name(PyObject* object);

// convert_exact for the values it does not read inline: a str, a bool, an exact
// container, or any other type (false).
bool convert_exact_rest(std::uint32_t column, PyObject* value, ingest::FoldPipeline& sink,
                        Utf8Scratch& scratch, ingest::RawCell& cell);
// The raw cell of an exact int beyond 64 bits (`overflow`, as PyLong_AsLongLongAndOverflow
// gave it: 1 above, -1 below), into `cell`.
void wide_int_raw(std::uint32_t column, PyObject* value, int overflow,
                  const ingest::FoldPipeline& sink, ingest::RawCell& cell);

// The raw cell of a value of an exact built-in type (those of reads_without_python), into
// `cell`, raising nothing and running no Python code; false, `cell` untouched, for every
// other type. A float, None and an int within 64 bits, the cells of most numeric columns,
// are read here, inline in the row walk: a call per cell would cost the walk as much as
// reading these values does.
inline bool convert_exact(std::uint32_t column, PyObject* value, ingest::FoldPipeline& sink,
                          Utf8Scratch& scratch, ingest::RawCell& cell) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyFloat_Type) {
        cell = ingest::keyed(profiler::real_cell(column, PyFloat_AsDouble(value)));  // NaN: null
        return true;
    }
    if (value == Py_None) {
        cell = ingest::keyed(profiler::null_cell(column));
        return true;
    }
    if (type == &PyLong_Type) {
        int overflow = 0;
        const long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            cell = ingest::raw_int(column, integer);  // long long: 64 bits everywhere
        } else {
            wide_int_raw(column, value, overflow, sink, cell);
        }
        return true;
    }
    return convert_exact_rest(column, value, sink, scratch, cell);
}

}  // namespace pykit
