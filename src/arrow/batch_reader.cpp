#include "arrow/batch_reader.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <functional>
#include <numeric>
#include <string_view>

#include "arrow/convert.h"
#include "arrow/validate.h"
#include "common/utf8.h"
#include "profiler/cpu_budget.h"
#include "profiler/second_thread.h"
#include "ingest/worker.h"

namespace arrow_input {

BatchConverter::BatchConverter(const ArrowSchema& schema) : schema_(schema) {
    if (schema.format == nullptr || std::string_view(schema.format) != "+s") {
        throw InvalidArray(
            "the schema is not a struct (format '" +
            std::string(schema.format == nullptr ? "" : schema.format) +
            "'): a record batch's schema is a struct with one child per column");
    }
    if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr)) {
        throw InvalidArray("record batch: the schema's columns are not given");
    }
    const auto count = static_cast<std::size_t>(schema.n_children);
    std::vector<std::string_view> given(count);
    for (std::size_t i = 0; i < count; ++i) {
        const ArrowSchema* child = schema.children[i];
        if (child == nullptr) {
            throw InvalidArray("record batch: the schema of column " + std::to_string(i) +
                               " is missing");
        }
        given[i] = child->name == nullptr ? std::string_view() : std::string_view(child->name);
        if (!common::valid_utf8({reinterpret_cast<const unsigned char*>(given[i].data()),
                                 given[i].size()})) {
            throw InvalidArray("record batch: the name of column " + std::to_string(i) +
                               " is not valid UTF-8");
        }
    }
    // Names in sorted order, so that repeats are found without hashing names the producer
    // chose; among equal names the first position holds, the last column gives values.
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return given[a] < given[b]; });
    std::vector<std::int64_t> source_of(count, -1);  // per first position: its last column
    for (std::size_t k = 0; k < count;) {
        std::size_t end = k + 1;
        while (end < count && given[order[end]] == given[order[k]]) {
            ++end;
        }
        source_of[order[k]] = static_cast<std::int64_t>(order[end - 1]);
        k = end;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (source_of[i] >= 0) {
            names_.emplace_back(given[i]);
            labels_.push_back(column_label(schema, source_of[i]));
            sources_.push_back(source_of[i]);
        }
    }
}

namespace {

// A second thread lent to the engine for applying one large batch: a worker
// (ingest/worker.h) started for it. A start the system refuses leaves the task to run on
// the caller when given: it then takes every part from the share counter, with the same
// result.
class BatchThread final : public profiler::SecondThread {
  public:
    BatchThread() = default;
    BatchThread(const BatchThread&) = delete;
    BatchThread& operator=(const BatchThread&) = delete;

    void start(std::function<void()> task) override {
        worker_.start();
        worker_.run(std::move(task));
    }
    void wait() override { worker_.withdraw(); }

  private:
    ingest::Worker worker_{1};
};

}  // namespace

bool BatchConverter::two_threads(const ArrowArray& batch) const {
    const auto cells = static_cast<std::uint64_t>(batch.length) * names_.size();
    return names_.size() >= 2 && cells >= kParallelCells && profiler::usable_processors() >= 2;
}

void BatchConverter::fold_one(const ArrowArray& batch, std::size_t index,
                              const profiler::ValueKeys& keys, profiler::ColumnPart& part) const {
    const auto source = static_cast<std::size_t>(sources_[index]);
    fold_column(*schema_.children[source], *batch.children[source], batch.offset, batch.length,
                keys, labels_[index], part);
}

// Columns are independent, so a large batch folds them on a second thread as well, each
// taking the next column from a shared counter. Each column's failure is kept in its
// place and the first column's is thrown, so the refusal does not depend on which thread
// met which column. A thread the system refuses leaves the work to this one.
void BatchConverter::fold_all(const ArrowArray& batch, const profiler::ValueKeys& keys,
                              std::vector<profiler::ColumnPart>& parts) const {
    const std::size_t count = parts.size();
    if (!two_threads(batch)) {
        for (std::size_t i = 0; i < count; ++i) {
            fold_one(batch, i, keys, parts[i]);
        }
        return;
    }
    std::vector<std::exception_ptr> failures(count);
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
            try {
                fold_one(batch, i, keys, parts[i]);
            } catch (...) {
                failures[i] = std::current_exception();
            }
        }
    };
    {
        // Refused a thread, the helper runs `work` here first, and this thread's finds
        // every column taken.
        ingest::Worker helper(1);
        helper.start();
        helper.run(work);
        work();
        helper.finish();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

std::uint64_t BatchConverter::observe(const profiler::KarvoEngine& engine,
                                      const ArrowArray& batch) const {
    validate_batch(schema_, batch);
    profiler::ColumnBatch columns;
    columns.names.assign(names_.begin(), names_.end());
    profiler::resize_parts(columns.parts, names_.size(), engine.value_keys());
    fold_all(batch, engine.value_keys(), columns.parts);
    if (two_threads(batch)) {
        BatchThread helper;
        engine.process_columns(columns, &helper);
    } else {
        engine.process_columns(columns);
    }
    return static_cast<std::uint64_t>(batch.length);
}

std::string stream_failure(ArrowArrayStream& stream, int code, const char* doing) {
    const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    if (message != nullptr && message[0] != '\0') {
        return std::string(message);
    }
    return std::string("the stream failed ") + doing + ": " + std::strerror(code) + " (error " +
           std::to_string(code) + ")";
}

StreamReader::StreamReader(ArrowArrayStream& stream) : stream_(stream) {
    if (stream.get_schema == nullptr || stream.get_next == nullptr) {
        throw InvalidArray("the stream has no get_schema or get_next");
    }
    const int code = stream.get_schema(&stream, schema_.get());
    if (code != 0) {
        throw StreamError(stream_failure(stream, code, "giving its schema"));
    }
    if (!schema_.live()) {
        throw InvalidArray("the stream gave a released schema");
    }
    converter_.emplace(*schema_);
}

std::optional<std::uint64_t> StreamReader::next(const profiler::KarvoEngine& engine) {
    Owned<ArrowArray> batch;
    const int code = stream_.get_next(&stream_, batch.get());
    if (code != 0) {
        throw StreamError(stream_failure(stream_, code, "giving a batch"));
    }
    if (!batch.live()) {
        return std::nullopt;
    }
    return converter_->observe(engine, *batch);
}

}  // namespace arrow_input
