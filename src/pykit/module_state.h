// ModuleState: what an extension module of this package makes once per process, in one
// place.
//
// Each extension module (karvo, karvo_dist._native) links its own copy of the binding and
// so has one ModuleState of its own:
//   - module: the module object, kept from the first successful initialisation to the end
//     of the process. While it is set, initialise_once refuses every later initialisation
//     (a re-import after `del sys.modules[...]`, another interpreter) with ImportError: the
//     class and this state are made once per process and cannot be shared safely with a
//     second module object. A failed first initialisation leaves it unset.
//   - class_type: the module's one class (karvo.Profiler, karvo_dist's Profile), made from
//     its PyType_Spec by the first initialisation and never released.
//   - panic_type: native_runtime.PanicException, made on the first fault that needs it
//     (pykit/entry.h) and never released.
//   - list_fold: how observe_dicts folds a list's rows (ingest/fold_pipeline.h): by
//     default on a second thread once the call is large enough. A module may set it once,
//     while it initialises, and never later (karvo_dist's tests fold other ways this way;
//     no way changes a result).
//
// Thread safety: read and written only with the GIL held.
#pragma once

#include <Python.h>

#include "ingest/fold_pipeline.h"

namespace pykit {

struct ModuleState {
    PyObject* module = nullptr;
    PyObject* class_type = nullptr;
    PyObject* panic_type = nullptr;
    ingest::FoldOptions list_fold{.threads = 0};
};

// This module's state.
ModuleState& module_state();

// The module's class (a borrowed reference), made from its PyType_Spec on first use; null with a
// Python exception set when it cannot be made. Its name must outlive the class:
// interpreters before 3.11 keep pointing at it, which a string literal satisfies.
PyObject* module_class(PyType_Spec& type_spec);

// The body of a module's PyInit function, to be run inside enter(): refuses a second
// initialisation with ImportError carrying `refusal`, creates the module from its
// definition (single-phase, API version 3), runs `body` on it to fill its namespace and
// keeps it in module_state(). Returns a new reference to the module.
PyObject* initialise_once(PyModuleDef& definition, const char* refusal, void (*body)(PyObject*));

}  // namespace pykit
