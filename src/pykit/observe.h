// The two ingestion methods, written once for every profile type that the package's
// modules define (karvo.Profiler, karvo_dist.Profile):
//
//   def observe_dict(self, py_dict):     # py_dict: a dict or subclass, else TypeError
//       rows = [read(py_dict)]           # everything is read before the engine sees a row
//       engine.process(rows)
//
//   def observe_dicts(self, py_list):    # py_list: a list or subclass, else TypeError
//       rows = [read(d) for d in py_list if isinstance(d, dict)]   # others are skipped
//       engine.process(rows)             # one engine call, also for an empty list
//
// A profile's observe_dict, and its observe_dicts of a small list, may first let the rows
// wait in its row buffer (row_buffer.h), which reads them the same way. observe_list folds
// the rows it reads under the options its caller gives: a profile's observe_dicts gives
// the module state's (pykit/module_state.h), by default on a second thread once the call
// is large enough and the process may use two CPUs (ingest/fold_pipeline.h). The result
// is the same either way.
//
// Both run with the GIL held, inside the caller's entry() boundary; they throw as the
// row reader does (TypeError, UnicodeEncodeError, a Panic for a dictionary changed while
// read, the exception of a signal handler), and a call that throws ingests nothing.
#pragma once

#include <Python.h>

#include "pykit/arguments.h"
#include "profiler/engine.h"
#include "ingest/fold_pipeline.h"

namespace pykit {

// observe_dict's argument, bound under `params` (which names the method as the caller's
// type spells it, "Profiler.observe_dict()") and checked to be a dict or subclass; borrowed.
PyObject* bind_dict(const ParamSpec& params, const CallArgs& call);
// observe_dict's reading of a dictionary that the caller has bound, and holds.
void observe_row(const profiler::KarvoEngine& engine, PyObject* dictionary);
// observe_dicts' argument, bound likewise and checked to be a list or subclass; borrowed.
PyObject* bind_list(const ParamSpec& params, const CallArgs& call);
// observe_dicts' reading of a list (or subclass) that the caller has bound and checked.
void observe_list(const profiler::KarvoEngine& engine, PyObject* list,
                  const ingest::FoldOptions& options);

}  // namespace pykit
