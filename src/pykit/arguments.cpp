#include "pykit/arguments.h"

#include <string>
#include <vector>

#include "pykit/entry.h"

namespace pykit {

namespace {

// Raises TypeError with a message built by PyUnicode_FromFormat and throws it.
template <class... Args>
[[noreturn]] void throw_type_error_format(const char* format, Args... args) {
    PyRef message = PyRef::steal(PyUnicode_FromFormat(format, args...));
    if (message) {
        PyErr_SetObject(PyExc_TypeError, message.get());
    }
    throw_pending();
}

void check_positional_count(const ParamSpec& params, Py_ssize_t given) {
    auto n = static_cast<Py_ssize_t>(params.names.size());
    if (given > n) {
        throw_type_error_format("%s takes %zd positional arguments but %zd %s given",
                                params.full_name, n, given, given == 1 ? "was" : "were");
    }
}

// The index of the parameter named by the keyword, or -1.
Py_ssize_t find_parameter(const ParamSpec& params, PyObject* keyword) {
    if (!type_has_flag(keyword, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return -1;
    }
    for (std::size_t i = 0; i < params.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, params.names[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

[[noreturn]] void throw_unexpected_keyword(const ParamSpec& params, PyObject* keyword) {
    if (type_has_flag(keyword, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        throw_type_error_format("%s got an unexpected keyword argument '%U'", params.full_name,
                                keyword);
    }
    throw_type_error_format("%s got an unexpected keyword argument '%S'", params.full_name,
                            keyword);
}

void bind_keyword(const ParamSpec& params, PyObject* keyword, PyObject* value,
                  std::span<PyRef> slots) {
    Py_ssize_t index = find_parameter(params, keyword);
    if (index < 0) {
        throw_unexpected_keyword(params, keyword);
    }
    PyRef& slot = slots[static_cast<std::size_t>(index)];
    if (slot) {
        throw_type_error_format("%s got multiple values for argument '%s'", params.full_name,
                                params.names[static_cast<std::size_t>(index)]);
    }
    slot = PyRef::borrow(value);
}

void bind_keywords(const ParamSpec& params, PyObject* kwargs, std::span<PyRef> slots) {
    Py_ssize_t pos = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
        bind_keyword(params, keyword, value, slots);
    }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

void check_required(const ParamSpec& params, Py_ssize_t given, std::span<PyRef> slots) {
    if (given >= static_cast<Py_ssize_t>(params.required)) {
        return;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.required; ++i) {
        if (!slots[i]) {
            missing.push_back(params.names[i]);
        }
    }
    if (missing.empty()) {
        return;
    }
    throw_type_error_format("%s missing %zd required positional %s: %s", params.full_name,
                            static_cast<Py_ssize_t>(missing.size()),
                            missing.size() == 1 ? "argument" : "arguments",
                            quoted_list(missing).c_str());
}

}  // namespace

void bind_arguments(const ParamSpec& params, PyObject* args, PyObject* kwargs,
                    std::span<PyRef> slots) {
    Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) {
        fail_api_call();
    }
    check_positional_count(params, given);
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[static_cast<std::size_t>(i)] = PyRef::borrow(must(PyTuple_GetItem(args, i)));
    }
    if (kwargs != nullptr) {
        bind_keywords(params, kwargs, slots);
    }
    check_required(params, given, slots);
}

void bind_arguments(const ParamSpec& params, const CallArgs& call, std::span<PyRef> slots) {
    check_positional_count(params, call.count);
    for (Py_ssize_t i = 0; i < call.count; ++i) {
        slots[static_cast<std::size_t>(i)] = PyRef::borrow(call.args[i]);
    }
    if (call.keywords != nullptr) {
        const Py_ssize_t keywords = PyTuple_Size(call.keywords);
        if (keywords < 0) {
            fail_api_call();
        }
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            bind_keyword(params, must(PyTuple_GetItem(call.keywords, i)), call.args[call.count + i],
                         slots);
        }
    }
    check_required(params, call.count, slots);
}

void throw_argument_error(const char* name, PyErrorResult& error) {
    PyRef text = PyRef::steal(PyObject_Str(error.value()));
    if (!text) {
        throw_pending();
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) {
        throw_pending();
    }
    PyRef wrapped =
        PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!wrapped) {
        throw_pending();
    }
    // PyException_SetCause steals its argument, and a null cause leaves __cause__ None.
    if (PyObject* cause = PyException_GetCause(error.value())) {
        PyException_SetCause(wrapped.get(), cause);
    }
    throw PyErrorResult(PyRef::borrow(PyExc_TypeError), std::move(wrapped), PyRef());
}

}  // namespace pykit
