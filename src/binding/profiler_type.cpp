#include "binding/profiler_type.h"

#include <memory>

#include "pykit/arguments.h"
#include "pykit/entry.h"
#include "pykit/module_state.h"
#include "pykit/native_profile.h"
#include "profiler/engine.h"

namespace binding {

namespace {

using pykit::as_method;
using pykit::ParamSpec;

constexpr const char* kNewParams[] = {""};
constexpr const char* kObserveDictParams[] = {"py_dict"};
constexpr const char* kObserveDictsParams[] = {"py_list"};
const ParamSpec kNewSpec{"Profiler.__new__()", std::span<const char* const>(kNewParams, 0), 0};
const ParamSpec kObserveDictSpec{"Profiler.observe_dict()", kObserveDictParams, 1};
const ParamSpec kObserveDictsSpec{"Profiler.observe_dicts()", kObserveDictsParams, 1};

PyObject* profiler_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return pykit::enter([&]() -> PyObject* {
        pykit::bind_arguments(kNewSpec, args, kwargs, {});
        return pykit::new_profile(subtype, std::make_shared<const profiler::KarvoEngine>());
    });
}

PyMethodDef profiler_methods[] = {
    {"observe_dict", as_method(pykit::observe_dict_method<kObserveDictSpec>),
     METH_FASTCALL | METH_KEYWORDS, "observe_dict($self, py_dict)\n--\n\n"},
    {"observe_dicts", as_method(pykit::observe_dicts_method<kObserveDictsSpec>),
     METH_FASTCALL | METH_KEYWORDS, "observe_dicts($self, py_list)\n--\n\n"},
    {"flush", as_method(pykit::flush_method), METH_NOARGS, "flush($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

char profiler_doc[] = "Profiler()\n--\n\n";

PyType_Slot profiler_slots[] = {
    {Py_tp_doc, profiler_doc},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(profiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pykit::dealloc_profile)},
    {Py_tp_methods, profiler_methods},
    {0, nullptr},
};

PyType_Spec profiler_spec = {
    "builtins.Profiler", static_cast<int>(sizeof(pykit::ProfileObject)), 0, Py_TPFLAGS_DEFAULT,
    profiler_slots,
};

}  // namespace

PyObject* profiler_type() {
    return pykit::module_class(profiler_spec);
}

}  // namespace binding
