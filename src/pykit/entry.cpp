#include "pykit/entry.h"

#include <cstring>
#include <string>

#include "pykit/module_state.h"

namespace pykit {

namespace {

constexpr const char* kPanicName = "native_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when karvo's native code, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* kNoTextFault = "karvo: internal fault without a message";
constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";

// The PanicException type, made on first need and kept for the life of the process.
PyObject* get_panic_type() noexcept {
    PyObject*& panic_type = module_state().panic_type;
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    }
    return panic_type;
}

// Sets a new PanicException with the message as its single argument. If even that fails
// (the type cannot be made), the error of that failure stays pending instead.
void raise_panic(const char* message) noexcept {
    PyObject* type = get_panic_type();
    if (type == nullptr) {
        return;
    }
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message, std::strlen(message), "replace"));
    if (!text) {
        return;
    }
    PyErr_SetObject(type, text.get());
}

// The text a PanicException from Python code carries on: str() of its value with
// undecodable characters replaced, or the fixed text when it cannot be had.
std::string panic_text(PyObject* value) {
    if (value == nullptr || value == Py_None) {
        return kUnwrappedPanic;
    }
    PyRef text = PyRef::steal(PyObject_Str(value));
    PyRef bytes;
    if (text) {
        bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "replace"));
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
        PyErr_Clear();
        return kUnwrappedPanic;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// A PanicException came back from Python code: print a notice and its traceback, then
// continue as a fault with its text.
[[noreturn]] void resume_panic(PyRef type, PyRef value, PyRef traceback) {
    std::string text = panic_text(value.get());
    PySys_WriteStderr(
        "karvo: a PanicException was raised by Python code that karvo called; "
        "it ends the call. Its traceback:\n");
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    throw Panic(text);
}

}  // namespace

PyErrorResult fetch_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        PyErr_Fetch(&type, &value, &traceback);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    const PyObject* panic_type = module_state().panic_type;
    if (panic_type != nullptr && type == panic_type) {
        resume_panic(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
    }
    return PyErrorResult(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
}

void throw_pending() {
    throw fetch_error();
}

void discard_error() {
    PyObject* type = PyErr_Occurred();
    if (type == nullptr) {
        return;
    }
    // Only an Exception says that an attempt failed. The rest ask the program to stop
    // (KeyboardInterrupt from Ctrl-C, SystemExit, GeneratorExit, a PanicException): they
    // end the call, which then ingests nothing.
    if (!PyErr_GivenExceptionMatches(type, PyExc_Exception)) {
        throw_pending();
    }
    PyErr_Clear();
}

void throw_type_error(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    throw_pending();
}

void throw_type_error(const std::string& message) {
    throw_type_error(message.c_str());
}

void throw_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw_pending();
}

void throw_value_error(const std::string& message) {
    throw_value_error(message.c_str());
}

void fail_api_call() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    throw Panic(kApiCallFailed);
}

void set_error_for_current_exception() noexcept {
    try {
        throw;
    } catch (PyErrorResult& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {  // Panic and the rest
        raise_panic(fault.what());
    } catch (...) {
        raise_panic(kNoTextFault);
    }
}

bool report_unraisable_in_dealloc(PyObject* object) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    set_error_for_current_exception();
    Py_SET_REFCNT(object, 1);
    PyErr_WriteUnraisable(object);
    Py_SET_REFCNT(object, Py_REFCNT(object) - 1);
    PyErr_Restore(type, value, traceback);
    return Py_REFCNT(object) == 0;
}

}  // namespace pykit
