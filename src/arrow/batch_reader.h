// Record batches into a profile: the Python-free half of Profile.observe_arrow.
//
// A record batch is a struct array whose children are its columns, in schema order. A
// batch is validated whole (validate.h) and converted a column at a time (convert.h)
// into one ColumnBatch, which the engine takes in one call: a batch that fails either
// step reaches the engine not at all. Every row carries every column. Two columns of one
// name are one column, as in a row dictionary: it stands where the name first appears
// and takes the later column's values.
//
// A stream (ArrowArrayStream) gives its schema once and then batches until its end; a
// failure of the producer is a StreamError with the producer's own message.
//
// A batch of many cells folds its columns on a second thread as well, and lends that
// thread to the engine to apply them (the columns are independent); the result, refusals
// included, is the same as on one thread.
//
// Thread safety: a converter may be shared by threads (it only reads); a stream reader
// serves one thread. Neither touches the interpreter, so both run without the GIL.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrow/c_abi.h"
#include "arrow/owned.h"
#include "profiler/engine.h"

namespace arrow_input {

// The producer of a stream failed: its message, or the error number it returned.
class StreamError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class BatchConverter {
  public:
    // Checks the schema: a struct ("+s") whose children are given, named in UTF-8.
    // Throws InvalidArray otherwise. The schema must outlive the converter.
    explicit BatchConverter(const ArrowSchema& schema);

    // Validates a batch of this schema, folds it and hands it to the engine; returns its
    // rows. Throws InvalidArray, having changed nothing, for an invalid batch.
    std::uint64_t observe(const profiler::KarvoEngine& engine, const ArrowArray& batch) const;

    // A batch of at least this many cells (rows times columns) folds its columns, and the
    // engine applies them, on two threads when two processors are usable.
    static constexpr std::uint64_t kParallelCells = std::uint64_t{1} << 17;

  private:
    bool two_threads(const ArrowArray& batch) const;
    void fold_one(const ArrowArray& batch, std::size_t index, const profiler::ValueKeys& keys,
                  profiler::ColumnPart& part) const;
    void fold_all(const ArrowArray& batch, const profiler::ValueKeys& keys,
                  std::vector<profiler::ColumnPart>& parts) const;

    const ArrowSchema& schema_;
    std::vector<std::string> names_;      // the batch's column names, each once
    std::vector<std::string> labels_;     // each name's column as messages give it
    std::vector<std::int64_t> sources_;   // the schema child that gives each name its values
};

// Reads a stream batch by batch; the stream stays the caller's to release.
class StreamReader {
  public:
    // Takes the stream's schema; throws StreamError when the producer fails, InvalidArray
    // when the schema is not a record batch's.
    explicit StreamReader(ArrowArrayStream& stream);

    // Reads the next batch into the engine: its rows, or nothing at the end of the stream.
    std::optional<std::uint64_t> next(const profiler::KarvoEngine& engine);

  private:
    ArrowArrayStream& stream_;
    Owned<ArrowSchema> schema_;
    std::optional<BatchConverter> converter_;
};

// The text of a producer's failure: its last error, or the error number.
std::string stream_failure(ArrowArrayStream& stream, int code, const char* doing);

}  // namespace arrow_input
