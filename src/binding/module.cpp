// The karvo module: single-phase initialisation, once per process.
//
// The module object is kept in a process-wide cache after the first successful
// initialisation and never released; any later initialisation in the same process (a
// re-import after `del sys.modules["karvo"]`, another interpreter) fails with ImportError,
// because the class and its state are made once per process and cannot be shared safely
// with a second module object. A failed first initialisation leaves the cache empty.
#include "binding/entry.h"
#include "binding/profiler_type.h"
#include "binding/py_ref.h"

namespace binding {

namespace {

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

PyObject* module_cache = nullptr;

constexpr const char* kInitialisedTwice =
    "single-phase extension modules like karvo, compiled in the manner of CPython 3.8 and "
    "older, may only be initialized once per interpreter process";

void check(int status) {
    if (status != 0) {
        throw_pending();
    }
}

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
    check(PyList_Append(all.get(), name.get()));
    check(PyObject_SetAttrString(module, "__all__", all.get()));
    check(PyObject_SetAttrString(module, "Profiler", type));
}

PyObject* initialise() {
    if (module_cache != nullptr) {
        PyErr_SetString(PyExc_ImportError, kInitialisedTwice);
        throw_pending();
    }
    PyRef module = PyRef::steal(PyModule_Create2(&karvo_module, 3));
    if (!module) {
        throw_pending();
    }
    run_module_body(module.get());
    module_cache = PyRef::borrow(module.get()).release();
    return module.release();
}

}  // namespace

}  // namespace binding

PyMODINIT_FUNC PyInit_karvo(void) {
    return binding::enter(binding::initialise);
}
