// The folder src/pykit is the binding code that both extension modules share (karvo and
// karvo_dist._native each link their own copy): the reference owner (py_ref.h), the call
// boundary (entry.h), argument binding, the row reader (row_walk.h and its parts), the
// observe methods, the row buffer, the once-only module state, and this file's native
// profile object with the slot functions of both profile types. It must not know either
// module (src/binding, src/dist_binding) nor the Python package; the build refuses an
// include of theirs. Below it is the engine, seen through profiler/engine.h and
// ingest/fold_pipeline.h only.
//
// NativeProfile: the one native object behind every profile type of the package's modules
// (karvo.Profiler, karvo_dist._native.Profile): a profiler::KarvoEngine and the RowBuffer
// in which its single-row calls wait (pykit/row_buffer.h), owned together.
//
// The rows of the buffer must reach the engine before anything else does, or rows would
// be counted out of order. So both are private, and only these members reach the engine:
//   - call(): the engine for the length of one call, as an EngineCall, which applies the
//     buffered rows first (EngineCall's constructor is private to this class). Every
//     method of a profile type uses it, but for the rows that join the buffer:
//   - observe_dict and observe_dicts: the rows of one dictionary, or of a small list, join
//     the buffer when they can, else go through call().
// A method added to a type later has no other way to the engine, so it cannot skip the
// buffer.
//
// ProfileObject is the memory of every instance of such a type: the Python object header,
// then its NativeProfile. A type that keeps more (karvo_dist's seed) puts a ProfileObject
// first in a struct of its own. The slot functions below are written once for both types:
// the making of an instance (for __new__ and anything else that makes one), deallocation,
// observe_dict, observe_dicts and flush.
//
// Invariants: a NativeProfile holds an engine from construction to destruction; an
// instance holds a constructed NativeProfile from new_profile until deallocation destroys
// it (rows still buffered then are dropped: nothing can read them any more). Methods hold
// their own reference to the engine for the whole call (EngineCall), so a method entered
// again from Python code that the outer call ran (a value's __index__), even one that
// flushes, finds it intact.
//
// Thread safety: used with the GIL held only; the engine itself is safe for concurrent
// callers (a JSON Lines read works on it without the GIL, holding an EngineCall).
#pragma once

#include <memory>
#include <utility>

#include "pykit/arguments.h"
#include "pykit/entry.h"
#include "pykit/py_ref.h"
#include "pykit/row_buffer.h"
#include "profiler/engine.h"

namespace pykit {

class NativeProfile {
  public:
    using Engine = std::shared_ptr<const profiler::KarvoEngine>;

    // `engine` is not null (new_profile checks it).
    explicit NativeProfile(Engine engine) noexcept : engine_(std::move(engine)) {}
    NativeProfile(const NativeProfile&) = delete;
    NativeProfile& operator=(const NativeProfile&) = delete;

    // The engine for the length of one call, with every buffered row applied.
    EngineCall call();
    // observe_dict's argument (bound under `params`, which names the method as the type
    // spells it) as one row: buffered when it can be, else observed through call().
    void observe_dict(const ParamSpec& params, const CallArgs& arguments);
    // observe_dicts' argument, bound likewise: the rows of a small list buffered when they
    // can be, else observed through call().
    void observe_dicts(const ParamSpec& params, const CallArgs& arguments);

  private:
    Engine engine_;
    RowBuffer rows_;
};

// The memory of an instance of a profile type.
struct ProfileObject {
    PyObject_HEAD NativeProfile native;  // constructed by new_profile, destroyed by dealloc
};

// The NativeProfile of an instance of a profile type.
inline NativeProfile& native_of(PyObject* self) {
    return reinterpret_cast<ProfileObject*>(self)->native;
}

// A new instance of `type` (a profile type, or a subclass) holding `engine`: a new
// reference. Members that the type adds after its ProfileObject start zeroed. Throws
// Panic for a null engine.
PyObject* new_profile(PyTypeObject* type, NativeProfile::Engine engine);

// tp_dealloc of a profile type.
void dealloc_profile(PyObject* self) noexcept;

// Method bodies of a profile type, METH_FASTCALL | METH_KEYWORDS for the two observe
// methods (whose `Params` name them as the type spells them, "Profile.observe_dict()"),
// METH_NOARGS for flush. observe_dicts reads its whole list before the engine sees a row
// (pykit/observe.h); flush returns the JSON report and starts a new profile.
template <const ParamSpec& Params>
PyObject* observe_dict_method(PyObject* self, PyObject* const* args, Py_ssize_t count,
                              PyObject* keywords) {
    return enter([&]() -> PyObject* {
        native_of(self).observe_dict(Params, {args, count, keywords});
        Py_RETURN_NONE;
    });
}

template <const ParamSpec& Params>
PyObject* observe_dicts_method(PyObject* self, PyObject* const* args, Py_ssize_t count,
                               PyObject* keywords) {
    return enter([&]() -> PyObject* {
        native_of(self).observe_dicts(Params, {args, count, keywords});
        Py_RETURN_NONE;
    });
}

PyObject* flush_method(PyObject* self, PyObject* unused);

// A C function of any method signature as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace pykit
