// The folder src/binding is the karvo module only: its initialisation (module.cpp), this
// class, its stubs (karvo.pyi) and its export list. Everything it shares with
// karvo_dist._native is in src/pykit; it must not know src/dist_binding (the build
// refuses an include of it).
//
// The Profiler class of the karvo module, as Python sees it:
//
//     class Profiler:                      # builtins.Profiler; final, no __dict__,
//         """Profiler()\n--\n\n"""         # no weak references
//         def __new__(cls) -> Profiler: ...                # an empty profile
//         def observe_dict(self, py_dict: dict) -> None: ...     # one row
//         def observe_dicts(self, py_list: list) -> None: ...    # a list of rows; other
//                                                                # elements are skipped
//         def flush(self) -> str: ...      # the JSON report so far; starts a new profile
//
// Each instance is a pykit::NativeProfile (pykit/native_profile.h): one
// profiler::KarvoEngine and the RowBuffer in which single-row calls wait, converted, to
// reach the engine in batches; its __new__ alone is this file's own, the rest of its
// slots are the kit's. The type is made once per process from a PyType_Spec (limited API:
// slots Py_tp_doc, Py_tp_base, Py_tp_new, Py_tp_dealloc and Py_tp_methods, flags
// Py_TPFLAGS_DEFAULT only, so it is neither subclassable nor tracked by the cyclic
// collector) and lives until the process ends, in the module's once-only state
// (pykit/module_state.h).
//
// Invariants: those of NativeProfile (every method reaches the engine through it, so the
// buffered rows are never seen), and:
//   - An observe call converts its whole input before calling the engine once; a call
//     that fails ingests nothing.
//   - Every entry point ends through the entry protocol (pykit/entry.h): no C++
//     exception reaches the interpreter.
//
// Thread safety: every entry runs with the GIL held and never releases it, so calls are
// serialised by the interpreter; the engine itself is safe for concurrent callers. The
// type object is created once, under the GIL. Lock order: the binding takes no locks of
// its own; the engine's (a shard lock before a column's sketch_mutex) are taken inside
// the engine call only.
#pragma once

#include "pykit/py_ref.h"

namespace binding {

// The Profiler type object (a borrowed reference), created on first use; null with a
// Python exception set when it cannot be made.
PyObject* profiler_type();

}  // namespace binding
