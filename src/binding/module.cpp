// The karvo module: single-phase initialisation, once per process (pykit/module_state.h
// keeps what is made once and refuses a second initialisation).
#include "binding/profiler_type.h"
#include "pykit/entry.h"
#include "pykit/module_state.h"
#include "pykit/py_ref.h"

namespace binding {

namespace {

using pykit::check_status;
using pykit::PyRef;
using pykit::throw_pending;

PyModuleDef karvo_module = {
    PyModuleDef_HEAD_INIT,
    "karvo",  // m_name
    "",       // m_doc: karvo.__doc__ is the empty string
    0,        // m_size
    nullptr,  // m_methods
    nullptr,  // m_slots: single-phase
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

constexpr const char* kInitialisedTwice =
    "single-phase extension modules like karvo, compiled in the manner of CPython 3.8 and "
    "older, may only be initialized once per interpreter process";

// Publishes the class and __all__ in the module.
void run_module_body(PyObject* module) {
    PyObject* type = profiler_type();
    if (type == nullptr) {
        throw_pending();
    }
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all) {
        throw_pending();
    }
    PyRef name = PyRef::steal(PyUnicode_FromString("Profiler"));
    if (!name) {
        throw_pending();
    }
    check_status(PyList_Append(all.get(), name.get()));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    check_status(PyObject_SetAttrString(module, "Profiler", type));
}

PyObject* initialise() {
    return pykit::initialise_once(karvo_module, kInitialisedTwice, run_module_body);
}

}  // namespace

}  // namespace binding

PyMODINIT_FUNC PyInit_karvo(void) {
    return pykit::enter(binding::initialise);
}
