#include "pykit/module_state.h"

#include "pykit/entry.h"
#include "pykit/py_ref.h"

namespace pykit {

ModuleState& module_state() {
    static ModuleState state;
    return state;
}

PyObject* module_class(PyType_Spec& type_spec) {
    ModuleState& state = module_state();
    if (state.class_type == nullptr) {
        state.class_type = PyType_FromSpec(&type_spec);
    }
    return state.class_type;
}

PyObject* initialise_once(PyModuleDef& definition, const char* refusal, void (*body)(PyObject*)) {
    ModuleState& state = module_state();
    if (state.module != nullptr) {
        PyErr_SetString(PyExc_ImportError, refusal);
        throw_pending();
    }
    PyRef module = PyRef::steal(PyModule_Create2(&definition, 3));
    if (!module) {
        throw_pending();
    }
    body(module.get());
    state.module = PyRef::borrow(module.get()).release();
    return module.release();
}

}  // namespace pykit
