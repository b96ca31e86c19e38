#include "pykit/observe.h"

#include <algorithm>
#include <cstddef>

#include "pykit/entry.h"
#include "pykit/py_ref.h"
#include "pykit/row_walk.h"
#include "pykit/value_rules.h"

namespace pykit {

namespace {

// The conversion of an argument that must have the type flag.
PyObject* require_flag(PyObject* object, unsigned long flag, const char* target) {
    if (!type_has_flag(object, flag)) {
        throw_cannot_convert(object, target);
    }
    return object;
}

// The one argument, bound under its parameters and checked to carry the type flag.
PyObject* bind_one(const ParamSpec& params, const CallArgs& call, unsigned long flag,
                   const char* target) {
    BoundArgs<1> bound;
    bind_arguments(params, call, bound);
    return convert_argument(params.names[0],
                            [&] { return require_flag(bound[0].get(), flag, target); });
}

// The list's current length; it may shrink or grow while hooks run.
Py_ssize_t list_size(PyObject* list) {
    Py_ssize_t size = PyList_Size(list);
    if (size < 0) {
        fail_api_call();
    }
    return size;
}

// How much reading (list elements plus dictionary entries) observe_dicts does between two
// looks for a pending signal: a few thousand rows of ordinary width, well under a
// millisecond of work, while a look costs a few nanoseconds.
constexpr std::size_t kWorkPerSignalCheck = 1 << 14;

// Runs the handlers of pending signals (Ctrl-C's raises KeyboardInterrupt); an exception
// they raise ends the call, which then ingests nothing. Handlers are Python code, so this
// is called only between rows, never while a row's listed entries are in use; a single
// very wide row is read without a look, its time being bounded by its own size (a row of
// a million entries is read in tens of milliseconds).
void check_signals() {
    if (PyErr_CheckSignals() != 0) {
        throw_pending();
    }
}

}  // namespace

PyObject* bind_dict(const ParamSpec& params, const CallArgs& call) {
    return bind_one(params, call, Py_TPFLAGS_DICT_SUBCLASS, "PyDict");
}

void observe_row(const profiler::KarvoEngine& engine, PyObject* dictionary) {
    BatchBuilder builder(engine.value_keys(), static_cast<std::size_t>(std::max<Py_ssize_t>(
                                                  0, PyDict_Size(dictionary))));
    builder.extract_row(dictionary);
    engine.process_columns(builder.finish());
}

PyObject* bind_list(const ParamSpec& params, const CallArgs& call) {
    return bind_one(params, call, Py_TPFLAGS_LIST_SUBCLASS, "PyList");
}

void observe_list(const profiler::KarvoEngine& engine, PyObject* list,
                  const ingest::FoldOptions& options) {
    const Py_ssize_t length = list_size(list);
    BatchBuilder builder(engine.value_keys(), 0, options);
    std::size_t work = 0;
    // Elements appended while hooks run are not visited; a shrinking list ends the walk.
    for (Py_ssize_t i = 0; i < std::min(length, list_size(list)); ++i) {
        PyRef item = PyRef::borrow(must(PyList_GetItem(list, i)));
        ++work;
        if (Py_TYPE(item.get()) == &PyDict_Type ||
            type_has_flag(item.get(), Py_TPFLAGS_DICT_SUBCLASS)) {
            work += builder.extract_row(item.get());
        }
        if (work >= kWorkPerSignalCheck) {
            work = 0;
            check_signals();
        }
    }
    const profiler::ColumnBatch& batch = builder.finish();
    engine.process_columns(batch, builder.second_thread());
}

}  // namespace pykit
