// Argument binding for the callables that take arguments (Profiler.__new__,
// observe_dict, observe_dicts): the arguments of a call, as a positional tuple and keyword
// dictionary or in the vector form of METH_FASTCALL | METH_KEYWORDS, are matched against
// a parameter description, with the interpreter's usual TypeError
// messages, checked in a fixed order: too many positionals, then each keyword (a repeated
// or an unknown one), then missing required parameters.
//
// Thread safety: called with the GIL held; no state.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "pykit/entry.h"
#include "pykit/py_ref.h"

namespace pykit {

// What a callable accepts: positional-or-keyword parameters, the first `required` of
// them required. No callable of karvo has positional-only or keyword-only parameters.
struct ParamSpec {
    const char* full_name;  // "Profiler.observe_dict()"
    std::span<const char* const> names;
    std::size_t required;
};

// The arguments of one call, one per parameter, in parameter order; a parameter left
// unfilled holds nothing. Each holds its own reference for the length of the call.
template <std::size_t N>
using BoundArgs = std::array<PyRef, N>;

// Fills `slots` (one per parameter) from args (a tuple) and kwargs (a dict or null), or
// throws the TypeError of the first check that fails.
void bind_arguments(const ParamSpec& params, PyObject* args, PyObject* kwargs,
                    std::span<PyRef> slots);

// A call's arguments as a METH_FASTCALL | METH_KEYWORDS method receives them: `count`
// positionals in args[0, count), then one value per name of `keywords` (a tuple of str,
// or null). The per-row methods take this form, which spares the interpreter building a
// tuple (and a dict) for every call.
struct CallArgs {
    PyObject* const* args;
    Py_ssize_t count;
    PyObject* keywords;
};

// As above, from the vector form; the same checks in the same order, the same messages.
void bind_arguments(const ParamSpec& params, const CallArgs& call, std::span<PyRef> slots);

// Throws TypeError "argument '{name}': {str(error)}" whose __cause__ is error's cause.
[[noreturn]] void throw_argument_error(const char* name, PyErrorResult& error);

// Runs the conversion of one bound argument. A conversion that fails with exactly
// TypeError fails instead as throw_argument_error describes; any other failure passes
// unchanged.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PyErrorResult& error) {
        if (error.type() == PyExc_TypeError) {
            throw_argument_error(name, error);
        }
        throw;
    }
}

}  // namespace pykit
