#include "pykit/native_profile.h"

#include <new>
#include <string>
#include <utility>

#include "pykit/module_state.h"
#include "pykit/observe.h"

namespace pykit {

EngineCall NativeProfile::call() {
    return EngineCall(engine_, rows_);
}

void NativeProfile::observe_dict(const ParamSpec& params, const CallArgs& arguments) {
    PyObject* dictionary = bind_dict(params, arguments);
    const PyRef hold = PyRef::borrow(dictionary);
    if (rows_.take(*engine_, dictionary)) {
        return;
    }
    observe_row(*call(), dictionary);
}

void NativeProfile::observe_dicts(const ParamSpec& params, const CallArgs& arguments) {
    PyObject* list = bind_list(params, arguments);
    const PyRef hold = PyRef::borrow(list);
    // The rows of a small list may wait in the buffer, as observe_dict's row may, which
    // spares a small call the engine's cost per call and per column.
    if (rows_.take_list(*engine_, list)) {
        return;
    }
    observe_list(*call(), list, module_state().list_fold);
}

PyObject* new_profile(PyTypeObject* type, NativeProfile::Engine engine) {
    // Checked before the instance exists, so that its deallocation never meets a
    // NativeProfile that was not made.
    if (!engine) {
        throw Panic("a profile made without an engine");
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self = PyRef::steal(alloc != nullptr ? alloc(type, 0) : PyType_GenericAlloc(type, 0));
    if (!self) {
        throw_pending();
    }
    new (&native_of(self.get())) NativeProfile(std::move(engine));
    return self.release();
}

void dealloc_profile(PyObject* self) noexcept {
    dealloc_heap_instance(self, [&] { native_of(self).~NativeProfile(); });
}

PyObject* flush_method(PyObject* self, PyObject* /*unused*/) {
    return enter([&]() -> PyObject* {
        const std::string report = native_of(self).call()->flush_and_reset();
        return must(
            PyUnicode_FromStringAndSize(report.data(), static_cast<Py_ssize_t>(report.size())));
    });
}

}  // namespace pykit
