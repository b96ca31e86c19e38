// The one door to the interpreter's C API for the binding, and PyRef, the owner of one
// strong reference.
//
// Every file of the binding (src/pykit and the two module folders, src/binding and
// src/dist_binding) includes Python.h through this header, so that the whole binding is
// compiled against the limited API of CPython 3.10 (the build defines Py_LIMITED_API; an
// attempt to build without it stops here).
//
// PyRef invariants: it holds either nothing or exactly one strong reference, which it
// gives back when it is destroyed or overwritten. It is made only by steal (take over a
// new reference) or borrow (add a reference to a borrowed pointer), and it moves but never
// copies, so a reference cannot be released twice or forgotten on an error path.
//
// Thread safety: a PyRef may only be made, moved or destroyed by a thread that holds the
// GIL, as for every interpreter call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030A0000
#error "karvo's binding is built against the limited API of CPython 3.10 (Py_LIMITED_API)"
#endif

#include <utility>

namespace pykit {

class PyRef {
  public:
    PyRef() noexcept = default;
    // Takes over a new reference (or nothing when p is null).
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    // Adds a reference to a borrowed pointer (or holds nothing when p is null).
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for a return value to the interpreter or an API
    // call that steals it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Whether the type of `object` carries the type flag (one of the *_SUBCLASS flags). The
// limited API reads type objects only through PyType_GetFlags.
inline bool type_has_flag(PyObject* object, unsigned long flag) {
    return (PyType_GetFlags(Py_TYPE(object)) & flag) != 0;
}

}  // namespace pykit
