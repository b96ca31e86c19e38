// The entry protocol: how every call from the interpreter into karvo (PyInit_karvo,
// Profiler.__new__, the three methods, deallocation) ends, whatever happened inside.
//
// Inside the binding a call ends early in one of three ways, all C++ exceptions:
//   - PyErrorResult: an ordinary Python error (a TypeError of argument binding, a key
//     that cannot be encoded, ...). It carries the exception taken from the interpreter,
//     so that no Python error is pending while the call's references are released.
//   - Panic (profiler/panic.h, thrown by the binding and the engine alike; or any other
//     std::exception): an internal fault. It becomes a native_runtime.PanicException
//     carrying the fault's message.
//   - std::bad_alloc: the process ran out of memory; it becomes MemoryError, leaving the
//     user's process alive.
// The entry functions below catch all of them, so no C++ exception reaches the
// interpreter, set the Python exception and return NULL (or, in deallocation, report it
// with PyErr_WriteUnraisable).
//
// Invariants: a PanicException raised by Python code that karvo called (a conversion hook)
// is never swallowed: fetch_error turns it into a Panic after printing a notice and its
// traceback. Nor is any other exception that is not an Exception (KeyboardInterrupt,
// SystemExit, GeneratorExit): it ends the call as itself. The PanicException type is
// created once per process, on first need, and kept in the module's once-only state
// (pykit/module_state.h).
//
// Thread safety: everything here runs with the GIL held; the once-only state is written
// only under it.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "pykit/py_ref.h"
#include "profiler/panic.h"

namespace pykit {

// An ordinary Python exception, taken out of the interpreter.
class PyErrorResult {
  public:
    PyErrorResult(PyRef type, PyRef value, PyRef traceback)
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

    PyObject* type() const { return type_.get(); }
    PyObject* value() const { return value_.get(); }
    // Sets the exception as the interpreter's current one.
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

  private:
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
};

// An internal fault: a broken invariant, a failed interpreter call that must not fail, a
// dictionary changed while it was read. The engine's type, so that the binding and the
// engine name their faults alike.
using profiler::Panic;

inline constexpr const char* kApiCallFailed = "Python API call failed";

// Takes the pending Python exception (normalised) out of the interpreter. A
// PanicException is not an ordinary error: it is reported on stderr and comes back as a
// thrown Panic with its text. With nothing pending, the result is the SystemError
// "attempted to fetch exception but none was set".
PyErrorResult fetch_error();
// Throws the pending Python exception as fetch_error describes.
[[noreturn]] void throw_pending();
// Drops a pending exception of a failed attempt when it is an Exception. Any other
// (KeyboardInterrupt, SystemExit, ...) is thrown as fetch_error describes, so that it ends
// the call: as a Panic for a PanicException, as itself otherwise.
void discard_error();
// Raise TypeError or ValueError with the message and throw it.
[[noreturn]] void throw_type_error(const char* message);
[[noreturn]] void throw_type_error(const std::string& message);
[[noreturn]] void throw_value_error(const char* message);
[[noreturn]] void throw_value_error(const std::string& message);
// For an interpreter call that must not fail: prints the pending error with PyErr_Print
// and throws Panic "Python API call failed".
[[noreturn]] void fail_api_call();
// Throws the pending exception when an interpreter call that reports failure by a nonzero
// status has failed.
inline void check_status(int status) {
    if (status != 0) {
        throw_pending();
    }
}
// Returns p, or fails as fail_api_call when it is null.
inline PyObject* must(PyObject* p) {
    if (p == nullptr) {
        fail_api_call();
    }
    return p;
}

// Sets the Python exception that ends a call for the C++ exception being handled.
// Called only from inside a catch block.
void set_error_for_current_exception() noexcept;

// Runs a body that returns a new reference; any failure becomes the pending Python
// exception and the result NULL.
template <class Body>
PyObject* enter(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_for_current_exception();
        return nullptr;
    }
}

// Writes the failure being handled with PyErr_WriteUnraisable on an object whose
// reference count has reached zero. The object is revived for the report (the hook holds
// it for a moment); returns false when the hook kept a reference, so that the object
// must not be freed. Called only from inside a catch block.
bool report_unraisable_in_dealloc(PyObject* object) noexcept;

// Runs the body of a deallocation; any failure is written with PyErr_WriteUnraisable on
// the object and not raised. An exception pending before the call is kept. Returns
// whether the object's memory may be freed.
template <class Body>
bool enter_dealloc(PyObject* object, Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        return report_unraisable_in_dealloc(object);
    }
}

// tp_dealloc of an instance of a heap type: destroys its C++ members through `destroy`
// (inside enter_dealloc), then frees its memory and lets go of the type, which each
// instance of a heap type holds a reference to. An unraisable hook that kept the object
// alive leaves it as it is.
template <class Destroy>
void dealloc_heap_instance(PyObject* self, Destroy&& destroy) noexcept {
    if (!enter_dealloc(self, destroy)) {
        return;
    }
    PyTypeObject* type = Py_TYPE(self);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(self);
    Py_DECREF(type);
}

}  // namespace pykit
