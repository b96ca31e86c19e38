#include "binding/profiler_type.h"

#include <memory>
#include <new>

#include "binding/arguments.h"
#include "binding/entry.h"
#include "binding/module_state.h"
#include "binding/observe.h"
#include "binding/row_buffer.h"
#include "profiler/engine.h"

namespace binding {

namespace {

using Engine = std::shared_ptr<const profiler::KarvoEngine>;

struct ProfilerObject {
    PyObject_HEAD Engine engine;  // constructed in place by __new__, destroyed by deallocation
    RowBuffer rows;               // likewise; single-row calls waiting for the engine
};

ProfilerObject* as_profiler(PyObject* self) {
    return reinterpret_cast<ProfilerObject*>(self);
}

const Engine& held_engine(PyObject* self) {
    const Engine& engine = as_profiler(self)->engine;
    if (!engine) {
        throw Panic("Profiler instance has no engine");
    }
    return engine;
}

// The instance's engine, shared for the length of a call, with every buffered row applied.
EngineCall engine_of(PyObject* self) {
    return EngineCall(held_engine(self), as_profiler(self)->rows);
}

constexpr const char* kNewParams[] = {""};
constexpr const char* kObserveDictParams[] = {"py_dict"};
constexpr const char* kObserveDictsParams[] = {"py_list"};
const ParamSpec kNewSpec{"Profiler.__new__()", std::span<const char* const>(kNewParams, 0), 0};
const ParamSpec kObserveDictSpec{"Profiler.observe_dict()", kObserveDictParams, 1};
const ParamSpec kObserveDictsSpec{"Profiler.observe_dicts()", kObserveDictsParams, 1};

// ---- __new__ and deallocation

PyObject* profiler_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return enter([&]() -> PyObject* {
        bind_arguments(kNewSpec, args, kwargs, {});
        Engine engine = std::make_shared<const profiler::KarvoEngine>();
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
        PyRef self =
            PyRef::steal(alloc != nullptr ? alloc(subtype, 0) : PyType_GenericAlloc(subtype, 0));
        if (!self) {
            throw_pending();
        }
        new (&as_profiler(self.get())->engine) Engine(std::move(engine));
        new (&as_profiler(self.get())->rows) RowBuffer();
        return self.release();
    });
}

void profiler_dealloc(PyObject* self) {
    // Rows still buffered are dropped: nothing can read them any more.
    dealloc_heap_instance(self, [&] {
        as_profiler(self)->rows.~RowBuffer();
        as_profiler(self)->engine.~Engine();
    });
}

// ---- methods

PyObject* observe_dict(PyObject* self, PyObject* const* args, Py_ssize_t count,
                       PyObject* keywords) {
    return enter([&]() -> PyObject* {
        observe_dict_buffered(held_engine(self), as_profiler(self)->rows, kObserveDictSpec,
                              {args, count, keywords});
        Py_RETURN_NONE;
    });
}

PyObject* observe_dicts(PyObject* self, PyObject* const* args, Py_ssize_t count,
                        PyObject* keywords) {
    return enter([&]() -> PyObject* {
        binding::observe_dicts(*engine_of(self), kObserveDictsSpec, {args, count, keywords});
        Py_RETURN_NONE;
    });
}

PyObject* flush(PyObject* self, PyObject* /*unused*/) {
    return enter([&]() -> PyObject* {
        std::string report = engine_of(self)->flush_and_reset();
        return must(
            PyUnicode_FromStringAndSize(report.data(), static_cast<Py_ssize_t>(report.size())));
    });
}

// ---- the type

template <class F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef profiler_methods[] = {
    {"observe_dict", as_method(observe_dict), METH_FASTCALL | METH_KEYWORDS,
     "observe_dict($self, py_dict)\n--\n\n"},
    {"observe_dicts", as_method(observe_dicts), METH_FASTCALL | METH_KEYWORDS,
     "observe_dicts($self, py_list)\n--\n\n"},
    {"flush", as_method(flush), METH_NOARGS, "flush($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

char profiler_doc[] = "Profiler()\n--\n\n";

PyType_Slot profiler_slots[] = {
    {Py_tp_doc, profiler_doc},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(profiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profiler_dealloc)},
    {Py_tp_methods, profiler_methods},
    {0, nullptr},
};

PyType_Spec profiler_spec = {
    "builtins.Profiler", static_cast<int>(sizeof(ProfilerObject)), 0, Py_TPFLAGS_DEFAULT,
    profiler_slots,
};

}  // namespace

PyObject* profiler_type() {
    return module_class(profiler_spec);
}

}  // namespace binding
