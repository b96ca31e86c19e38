#include "pykit/row_buffer.h"

#include <algorithm>
#include <array>

#include "pykit/entry.h"
#include "pykit/value_rules.h"

namespace pykit {

namespace {

// Whether reading the dictionary runs no Python code: exact str keys (a str subclass may
// share its text with another key of the row) and plain values. Reads the dictionary's
// storage only, as the row reader does.
bool plain_row(PyObject* dictionary) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dictionary, &position, &key, &value)) {
        if (Py_TYPE(key) != &PyUnicode_Type || !reads_without_python(value)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool RowBuffer::take(const profiler::KarvoEngine& engine, PyObject* dictionary) {
    return take_rows(engine, {&dictionary, 1});
}

bool RowBuffer::take_list(const profiler::KarvoEngine& engine, PyObject* list) {
    const Py_ssize_t length = PyList_Size(list);
    if (length < 1 || length > static_cast<Py_ssize_t>(kCallRows)) {
        return false;  // also for an error, which the direct path then raises
    }
    // The rows are borrowed from the list: reading plain rows runs no Python code, so the
    // list stays as it is until they are read. Other elements are skipped, as observe_dicts
    // skips them.
    std::array<PyObject*, kCallRows> rows;
    std::size_t count = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* item = PyList_GetItem(list, i);
        if (item == nullptr) {
            fail_api_call();
        }
        if (Py_TYPE(item) == &PyDict_Type || type_has_flag(item, Py_TPFLAGS_DICT_SUBCLASS)) {
            rows[count++] = item;
        }
    }
    return count > 0 && take_rows(engine, {rows.data(), count});
}

bool RowBuffer::take_rows(const profiler::KarvoEngine& engine,
                          std::span<PyObject* const> rows) {
    if (in_use_ > 0 || !std::all_of(rows.begin(), rows.end(), plain_row)) {
        return false;
    }
    if (filling_) {
        throw Panic("a row buffer entered while it takes a row");
    }
    // Rows of earlier calls go first when they are due; if they cannot, this call fails
    // having added nothing, and they stay for the next attempt.
    if (builder_ && (sealed_ || cells_ >= kBufferedCells)) {
        apply(engine);
    }
    if (!builder_) {
        const Py_ssize_t size = PyDict_Size(rows.front());
        builder_.emplace(engine.value_keys(), static_cast<std::size_t>(size > 0 ? size : 0),
                         ingest::FoldOptions{.threads = 1, .whole_rows = true});
    }
    filling_ = true;
    try {
        cells_ += builder_->extract_rows(rows);
    } catch (...) {
        // The failed call left no cell, but it may have named columns that no cell reached;
        // applied after later rows, they would take their places in the creation order
        // before columns that those rows name first. So no row joins this batch again:
        // the rows before it are applied now, or, if that fails, when they next can be.
        filling_ = false;
        sealed_ = true;
        try {
            apply(engine);
        } catch (...) {  // the row's own failure is the one to raise
        }
        throw;
    }
    filling_ = false;
    return true;
}

void RowBuffer::apply(const profiler::KarvoEngine& engine) {
    if (filling_) {
        throw Panic("a row buffer applied while it takes a row");
    }
    if (!builder_) {
        return;
    }
    // A batch that the engine refuses has added nothing: it stays, sealed, and is offered
    // again before anything else reaches the engine.
    sealed_ = true;
    engine.process_columns(builder_->finish());
    drop();
}

void RowBuffer::drop() {
    builder_.reset();
    cells_ = 0;
    sealed_ = false;
}

EngineCall::EngineCall(std::shared_ptr<const profiler::KarvoEngine> engine, RowBuffer& rows)
    : engine_(std::move(engine)), rows_(rows) {
    rows_.apply(*engine_);
    ++rows_.in_use_;
}

}  // namespace pykit
