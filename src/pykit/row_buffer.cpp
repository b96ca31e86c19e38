#include "pykit/row_buffer.h"

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
    if (in_use_ > 0 || !plain_row(dictionary)) {
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
        const Py_ssize_t size = PyDict_Size(dictionary);
        builder_.emplace(engine.value_keys(), static_cast<std::size_t>(size > 0 ? size : 0),
                         ingest::FoldOptions{.threads = 1, .whole_rows = true});
    }
    filling_ = true;
    try {
        cells_ += builder_->extract_row(dictionary);
    } catch (...) {
        // The failed row left no cell, but it may have named columns that no cell reached;
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
