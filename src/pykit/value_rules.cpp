#include "pykit/value_rules.h"

#include <bit>
#include <cmath>
#include <limits>

#include "pykit/entry.h"

namespace pykit {

using profiler::Cell;
using ingest::FoldPipeline;
using ingest::keyed;
using profiler::null_cell;
using profiler::Origin;
using ingest::raw_int;  // integers are read as long long, 64 bits on every platform
using ingest::RawCell;
using profiler::ValueKeys;

namespace {

// Each maker takes the kind of object the value came from (typed_value.h's Origin).
RawCell null_raw(std::uint32_t column, Origin origin = Origin::Null) {
    return keyed(null_cell(column, origin));
}
// A real value; NaN is null.
RawCell float_raw(std::uint32_t column, double value, Origin origin = Origin::Float) {
    return keyed(profiler::real_cell(column, value, origin));
}
// A raw cell said to come from another kind of object.
RawCell with_origin(RawCell cell, Origin origin) {
    cell.origin = origin;
    return cell;
}
// A text, which `sink` copies for its worker or keys at once; the bytes need not outlive
// the call.
RawCell text_raw(std::uint32_t column, const char* data, Py_ssize_t size, FoldPipeline& sink) {
    return sink.text_cell(column, std::string_view(data, static_cast<std::size_t>(size)));
}

// str.isascii as the C function behind it: CPython implements it as a METH_NOARGS
// function, which is called with the string and no argument, and it answers from the
// string's header without reading its text. Null when the running interpreter does not
// implement it so; every text then takes the encoding path, which is slower but as right.
using NoArgsFunction = PyObject* (*)(PyObject*, PyObject*);

NoArgsFunction find_isascii() {
    PyRef empty = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
    PyRef method = PyRef::steal(empty ? PyObject_GetAttrString(empty.get(), "isascii") : nullptr);
    if (!method || !PyCFunction_Check(method.get()) ||
        PyCFunction_GetFlags(method.get()) != METH_NOARGS) {
        PyErr_Clear();
        return nullptr;
    }
    return reinterpret_cast<NoArgsFunction>(PyCFunction_GetFunction(method.get()));
}

// Whether an exact str holds only ASCII characters.
bool is_ascii(PyObject* text) {
    static const NoArgsFunction isascii = find_isascii();
    if (isascii == nullptr) {
        return false;
    }
    PyObject* answer = isascii(text, nullptr);
    if (answer == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool ascii = answer == Py_True;
    Py_DECREF(answer);
    return ascii;
}

// The UTF-8 of an exact non-ASCII str through the encoder's own bytes object, taken
// (hashed or copied) and released at once: for texts too long for the scratch buffers.
RawCell encoded_str_raw(std::uint32_t column, PyObject* value, FoldPipeline& sink) {
    if (PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(value))) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) == 0) {
            return text_raw(column, data, size, sink);
        }
    }
    PyErr_Clear();
    return null_raw(column, Origin::Text);
}

// An exact str value, read without changing the caller's object. ASCII text is its own
// UTF-8, which PyUnicode_AsUTF8AndSize hands out in place. For other text that call would
// cache a UTF-8 copy inside the object for the object's whole life (a profiled list of
// non-ASCII rows would keep about twice its text), so it is encoded apart, in the
// builder's scratch buffers or, when long, by the interpreter's encoder. A lone surrogate
// has no UTF-8: null.
RawCell exact_str_raw(std::uint32_t column, PyObject* value, FoldPipeline& sink,
                      Utf8Scratch& scratch) {
    if (is_ascii(value)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(value, &size)) {
            return text_raw(column, data, size, sink);
        }
        PyErr_Clear();
        return null_raw(column, Origin::Text);
    }
    const Py_ssize_t length = PyUnicode_GetLength(value);
    if (length < 0) {
        PyErr_Clear();
        return null_raw(column, Origin::Text);
    }
    if (!Utf8Scratch::fits(length)) {
        return encoded_str_raw(column, value, sink);
    }
    std::string_view utf8;
    if (!scratch.encode(value, length, utf8)) {
        return null_raw(column, Origin::Text);
    }
    return sink.text_cell(column, utf8);
}

// The cell of an int in [2^63, 2^64), read from an exact int or an __index__ result;
// false (no exception left pending) for any other int.
bool wide_unsigned(PyObject* integer, const ValueKeys& keys, std::uint32_t column, Cell& cell) {
    const unsigned long long u = PyLong_AsUnsignedLongLong(integer);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        PyErr_Clear();  // an OverflowError of an int beyond 64 bits, nothing else
        return false;
    }
    cell = wide_unsigned_cell(column, u, keys);
    return true;
}

// The exact built-in containers of JSON-like rows (nested objects, lists) and their kin:
// none has a number hook or is text, so the value rules make each null without running
// any Python code.
bool is_plain_container(PyTypeObject* type) {
    return type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type ||
           type == &PyBytes_Type || type == &PyByteArray_Type || type == &PySet_Type ||
           type == &PyFrozenSet_Type;
}

}  // namespace

bool reads_without_python(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyLong_Type || type == &PyFloat_Type ||
           type == &PyUnicode_Type || type == &PyBool_Type || is_plain_container(type);
}

void wide_int_raw(std::uint32_t column, PyObject* value, int overflow, const FoldPipeline& sink,
                  RawCell& cell) {
    Cell wide;
    if (overflow > 0 && wide_unsigned(value, sink.keys(), column, wide)) {
        cell = keyed(wide);  // its nearest double, keyed by its exact value
        return;
    }
    // Beyond 64 bits. An exact int fails its conversion to float only by overflowing a
    // double's range, which the maker reads as an infinite nearest double.
    double nearest = PyLong_AsDouble(value);
    if (nearest == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        nearest = std::numeric_limits<double>::infinity();
    }
    cell = keyed(profiler::huge_int_cell(column, nearest));
}

bool convert_exact_rest(std::uint32_t column, PyObject* value, FoldPipeline& sink,
                        Utf8Scratch& scratch, RawCell& cell) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        cell = exact_str_raw(column, value, sink, scratch);
    } else if (type == &PyBool_Type) {
        cell = raw_int(column, profiler::bool_value(value == Py_True), Origin::Bool);
    } else if (is_plain_container(type)) {
        // No __index__, no __float__, not text: the rules end in null. Trying them would
        // raise and format two TypeErrors per cell, and send the row to the checked walk.
        cell = null_raw(column, Origin::Other);
    } else {
        return false;
    }
    return true;
}

namespace {

// The value rules as written, for every other type; hooks may run here.
RawCell convert_general(std::uint32_t column, PyObject* value, FoldPipeline& sink) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (index) {
        long long integer = PyLong_AsLongLong(index.get());
        if (!(integer == -1 && PyErr_Occurred() != nullptr)) {
            return raw_int(column, integer, Origin::Other);
        }
    }
    discard_error();
    // An __index__ in [2^63, 2^64) keys the cell by its exact value, as for an exact int,
    // when the real reading (which may come from another hook) is its nearest double.
    Cell wide;
    const bool is_wide = index && wide_unsigned(index.get(), sink.keys(), column, wide);
    double real = PyFloat_AsDouble(value);
    if (!(real == -1.0 && PyErr_Occurred() != nullptr)) {
        if (is_wide && std::bit_cast<std::uint64_t>(real) == wide.payload) {
            return with_origin(keyed(wide), Origin::Other);
        }
        return float_raw(column, real, Origin::Other);
    }
    discard_error();
    if (type_has_flag(value, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(value, &size)) {
            return with_origin(text_raw(column, data, size, sink), Origin::Other);
        }
        discard_error();
    }
    return null_raw(column, Origin::Other);
}

}  // namespace

std::string type_name(PyObject* object) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (name && type_has_flag(name.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(data, static_cast<std::size_t>(size));
        }
    }
    discard_error();
    return "<failed to extract type name>";
}

void throw_cannot_convert(PyObject* object, const char* target) {
    PyRef hold = PyRef::borrow(object);  // reading __qualname__ may run Python code
    std::string message(1, '\'');
    message.append(type_name(object)).append("' object cannot be converted to '");
    message.append(target).append("'");
    throw_type_error(message.c_str());
}

RawCell convert_value(std::uint32_t column, PyObject* value, FoldPipeline& sink,
                      Utf8Scratch& scratch) {
    RawCell cell;
    if (convert_exact(column, value, sink, scratch, cell)) {
        return cell;
    }
    // Hooks may drop the container's reference to the value while they run.
    PyRef hold = PyRef::borrow(value);
    return convert_general(column, value, sink);
}

}  // namespace pykit
