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
// Each instance owns one profiler::KarvoEngine and one RowBuffer (binding/row_buffer.h), in
// which single-row calls wait, converted, to reach the engine in batches. The type is made
// once per process from a PyType_Spec (limited API: slots Py_tp_doc, Py_tp_base,
// Py_tp_new, Py_tp_dealloc and Py_tp_methods, flags Py_TPFLAGS_DEFAULT only, so it is
// neither subclassable nor tracked by the cyclic collector) and lives until the process
// ends, in the module's once-only state (binding/module_state.h).
//
// The binding around it: module.cpp (the module), module_state.h, entry.h (the call
// boundary), arguments.h (argument binding), observe.h (the two observe methods, shared
// with karvo_dist's Profile in src/dist_binding/), row_buffer.h (single-row calls in
// batches) and row_walk.h (dictionaries into the engine's column batch). The engine
// is seen through profiler/engine.h only.
//
// Invariants:
//   - A live instance holds an engine from __new__ until deallocation releases it.
//   - Methods use the engine through their own shared reference for the whole call, so
//     a method entered again on the same instance from Python code that the outer call
//     ran (a value's __index__ or __float__), even one that flushes, finds it intact.
//   - Every method but observe_dict reaches the engine through EngineCall, which applies
//     the buffered rows first, so the buffer is never seen; deallocation drops it.
//   - An observe call converts its whole input before calling the engine once; a call
//     that fails ingests nothing.
//   - Every entry point ends through the entry protocol (binding/entry.h): no C++
//     exception reaches the interpreter.
//
// Thread safety: every entry runs with the GIL held and never releases it, so calls are
// serialised by the interpreter; the engine itself is safe for concurrent callers. The
// type object is created once, under the GIL. Lock order: the binding takes no locks of
// its own; the engine's (a shard lock before a column's sketch_mutex) are taken inside
// the engine call only.
#pragma once

#include "binding/py_ref.h"

namespace binding {

// The Profiler type object (a borrowed reference), created on first use; null with a
// Python exception set when it cannot be made.
PyObject* profiler_type();

}  // namespace binding
