// The karvo_dist._native module: single-phase initialisation, once per process, like
// karvo's own (binding/module.cpp). It publishes the Profile class and the number of the
// binary form it writes; the karvo_dist package builds on both.
#include "binding/entry.h"
#include "binding/py_ref.h"
#include "dist_binding/profile_type.h"
#include "profiler/profile_codec.h"

namespace dist_binding {

namespace {

using binding::PyRef;
using binding::throw_pending;

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

PyObject* module_cache = nullptr;

constexpr const char* kInitialisedTwice =
    "karvo_dist._native may only be initialized once per interpreter process";

void check(int status) {
    if (status != 0) {
        throw_pending();
    }
}

void run_module_body(PyObject* module) {
    PyObject* type = profile_type();
    if (type == nullptr) {
        throw_pending();
    }
    check(PyObject_SetAttrString(module, "Profile", type));
    PyRef version = PyRef::steal(PyLong_FromLong(profiler::kProfileFormatVersion));
    if (!version) {
        throw_pending();
    }
    check(PyObject_SetAttrString(module, "FORMAT_VERSION", version.get()));
}

PyObject* initialise() {
    if (module_cache != nullptr) {
        PyErr_SetString(PyExc_ImportError, kInitialisedTwice);
        throw_pending();
    }
    PyRef module = PyRef::steal(PyModule_Create2(&native_module, 3));
    if (!module) {
        throw_pending();
    }
    run_module_body(module.get());
    module_cache = PyRef::borrow(module.get()).release();
    return module.release();
}

}  // namespace

}  // namespace dist_binding

PyMODINIT_FUNC PyInit__native(void) {
    return binding::enter(dist_binding::initialise);
}
