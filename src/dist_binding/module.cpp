// The karvo_dist._native module: single-phase initialisation, once per process, like
// karvo's own (pykit/module_state.h). It publishes the Profile class and the number of
// the binary form it writes; the karvo_dist package builds on both.
#include <new>

#include "pykit/entry.h"
#include "pykit/module_state.h"
#include "pykit/py_ref.h"
#include "dist_binding/profile_type.h"
#include "profiler/profile_codec.h"

namespace dist_binding {

namespace {

using pykit::check_status;
using pykit::PyRef;
using pykit::throw_pending;

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "karvo_dist._native",                                  // m_name
    "The native core of karvo_dist: mergeable profiles.",  // m_doc
    0,                                                     // m_size
    nullptr,                                               // m_methods
    nullptr,                                               // m_slots: single-phase
    nullptr,                                               // m_traverse
    nullptr,                                               // m_clear
    nullptr,                                               // m_free
};

constexpr const char* kInitialisedTwice =
    "karvo_dist._native may only be initialized once per interpreter process";

// The C++ runtime makes a thread's exception state the first time the thread throws, and
// the loader allocates it then; should that allocation fail, the loader ends the process.
// A write's column summary may first throw when memory runs out (column_summary.h), so
// the importing thread throws once here, while memory is still to be had.
void prime_exception_state() {
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
}

void run_module_body(PyObject* module) {
    prime_exception_state();
    PyObject* type = profile_type();
    if (type == nullptr) {
        throw_pending();
    }
    check_status(PyObject_SetAttrString(module, "Profile", type));
    PyRef version = PyRef::steal(PyLong_FromLong(profiler::kProfileFormatVersion));
    if (!version) {
        throw_pending();
    }
    check_status(PyObject_SetAttrString(module, "FORMAT_VERSION", version.get()));
}

PyObject* initialise() {
    return pykit::initialise_once(native_module, kInitialisedTwice, run_module_body);
}

}  // namespace

}  // namespace dist_binding

PyMODINIT_FUNC PyInit__native(void) {
    return pykit::enter(dist_binding::initialise);
}
