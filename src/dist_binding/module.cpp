// The karvo_dist._native module: single-phase initialisation, once per process, like
// karvo's own (pykit/module_state.h). It publishes the Profile class and the number of
// the binary form it writes; the karvo_dist package builds on both.
#include <charconv>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "pykit/entry.h"
#include "pykit/module_state.h"
#include "pykit/py_ref.h"
#include "dist_binding/profile_type.h"
#include "profiler/profile_codec.h"

namespace dist_binding {

namespace {

using pykit::check_status;
using pykit::PyRef;
using pykit::throw_pending;

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "karvo_dist._native",                                  // m_name
    "The native core of karvo_dist: mergeable profiles.",  // m_doc
    0,                                                     // m_size
    nullptr,                                               // m_methods
    nullptr,                                               // m_slots: single-phase
    nullptr,                                               // m_traverse
    nullptr,                                               // m_clear
    nullptr,                                               // m_free
};

constexpr const char* kInitialisedTwice =
    "karvo_dist._native may only be initialized once per interpreter process";

// The C++ runtime makes a thread's exception state the first time the thread throws, and
// the loader allocates it then; should that allocation fail, the loader ends the process.
// A write's column summary may first throw when memory runs out (column_summary.h), so
// the importing thread throws once here, while memory is still to be had.
void prime_exception_state() {
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
}

// Test-only: KARVO_DIST_TEST_FOLD="threads,chunk_cells", read once here, makes every
// observe_dicts of this module fold its rows that way (ingest::FoldOptions: threads 1 on
// the calling thread alone, 2 on a worker from the first row, 0 as by default; chunks of
// chunk_cells cells, at least 1). No setting changes a result; the tests that prove so run
// in child processes, one setting each. A malformed value fails the import.
constexpr const char* kTestFoldVariable = "KARVO_DIST_TEST_FOLD";

std::optional<std::size_t> count_in(std::string_view text) {
    std::size_t count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return count;
}

void read_test_fold() {
    const char* value = std::getenv(kTestFoldVariable);
    if (value == nullptr) {
        return;
    }
    const std::string_view text(value);
    const std::size_t comma = text.find(',');
    const std::optional<std::size_t> threads =
        comma == std::string_view::npos ? std::nullopt : count_in(text.substr(0, comma));
    const std::optional<std::size_t> chunk_cells =
        comma == std::string_view::npos ? std::nullopt : count_in(text.substr(comma + 1));
    if (!threads || !chunk_cells || *chunk_cells == 0) {
        pykit::throw_value_error(std::string(kTestFoldVariable) +
                      " must be 'threads,chunk_cells': two ints, chunk_cells at least 1");
    }
    pykit::module_state().list_fold = ingest::FoldOptions{*threads, *chunk_cells};
}

void run_module_body(PyObject* module) {
    prime_exception_state();
    read_test_fold();
    PyObject* type = profile_type();
    if (type == nullptr) {
        throw_pending();
    }
    check_status(PyObject_SetAttrString(module, "Profile", type));
    PyRef version = PyRef::steal(PyLong_FromLong(profiler::kProfileFormatVersion));
    if (!version) {
        throw_pending();
    }
    check_status(PyObject_SetAttrString(module, "FORMAT_VERSION", version.get()));
}

PyObject* initialise() {
    return pykit::initialise_once(native_module, kInitialisedTwice, run_module_body);
}

}  // namespace

}  // namespace dist_binding

PyMODINIT_FUNC PyInit__native(void) {
    return pykit::enter(dist_binding::initialise);
}
