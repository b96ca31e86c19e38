#include "binding/row_buffer.h"

#include "binding/entry.h"
#include "binding/observe.h"

namespace binding {

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
    if (!builder_) {
        const Py_ssize_t size = PyDict_Size(dictionary);
        builder_.emplace(engine.value_keys(), static_cast<std::size_t>(size > 0 ? size : 0));
    }
    filling_ = true;
    try {
        cells_ += builder_->extract_row(dictionary);
    } catch (...) {
        // The failed row may have named columns that no cell reached; applied later, they
        // would take their places in the creation order before columns that later rows
        // name first. So the rows before it are applied now and the builder is dropped.
        filling_ = false;
        apply(engine);
        throw;
    }
    filling_ = false;
    if (cells_ >= kBufferedCells) {
        apply(engine);
    }
    return true;
}

void RowBuffer::apply(const profiler::KarvoEngine& engine) {
    if (filling_) {
        throw Panic("a row buffer applied while it takes a row");
    }
    if (!builder_) {
        return;
    }
    try {
        engine.process_columns(builder_->finish());
    } catch (...) {
        drop();  // a batch that the engine refused is not offered again
        throw;
    }
    drop();
}

void RowBuffer::drop() {
    builder_.reset();
    cells_ = 0;
}

EngineCall::EngineCall(std::shared_ptr<const profiler::KarvoEngine> engine, RowBuffer& rows)
    : engine_(std::move(engine)), rows_(rows) {
    rows_.apply(*engine_);
    ++rows_.in_use_;
}

void observe_dict_buffered(const std::shared_ptr<const profiler::KarvoEngine>& engine,
                           RowBuffer& rows, const ParamSpec& params, PyObject* args,
                           PyObject* kwargs) {
    PyObject* dictionary = bind_dict(params, args, kwargs);
    PyRef hold = PyRef::borrow(dictionary);
    if (rows.take(*engine, dictionary)) {
        return;
    }
    const EngineCall call(engine, rows);
    observe_row(*call, dictionary);
}

}  // namespace binding
