// The JSON Lines reader: bytes in, rows into a profile, on as many threads as asked.
//
// Input is cut into chunks of whole lines: a chunk ends at the first line feed at or
// after `chunk_bytes` bytes from its start, or at the end of the input. The cut depends
// on the bytes alone, never on how they were fed or on the thread count, so every way of
// reading an input makes the same chunks. Each chunk is parsed on its own into a column
// batch (chunk_parser.h), on any thread; the batches are then handed on strictly in input
// order, one at a time. The profile thus sees the same sequence of batches whatever the
// thread count, and ends in the same state: the same columns created in the same order
// (the report lists them by creation), the same first of equal extreme values (0.0 and
// -0.0) kept as bounds, the same sketch inserts in the same order. Parsing is most of the
// work and runs in parallel; handing a batch on folds its parts into the records, and
// overlaps with the parsing of later chunks.
//
// Lines: split at line feeds; a CR before one is whitespace, so CRLF input reads as LF
// input. A UTF-8 byte order mark at the very start of the input is skipped (anywhere else
// it makes its line bad, as json.loads refuses it). The last line needs no line feed; cut
// mid-value it is a bad line. Blank lines (empty, or spaces, tabs and CRs only) are
// skipped and are not bad lines. Lines are numbered from 1, blank ones included.
//
// Bad lines are skipped and counted, and the first few are kept with their line numbers
// and reasons. In strict mode the first bad line ends the reading instead: the batches
// before it have been handed on, nothing from its chunk on is, and the result names the
// line. A caller for whom a refused input must leave no trace reads into a scratch
// profile and merges it on success (src/dist_binding/scratch_read.h).
//
// A line longer than max_line_bytes (its bytes before the line feed) is a bad line,
// "line longer than N bytes". Fed input keeps at most max_line_bytes + 1 bytes of a line
// still open and drops the rest as it streams by, so a line with no end (a device) costs
// no more memory than the cap; the verdict rests on the length alone, so it is the same
// whatever form the input came in.
//
// Memory otherwise: at most 2 x threads chunks in flight (each chunk's bytes and its
// batch), whatever the input's length; a line longer than a chunk (up to the cap) makes
// its chunk that long.
//
// Threads: each parsing thread is an ingest::Worker (ingest/worker.h), started with the
// reader; chunks go to them in turn, and the caller's thread hands the batches on in
// input order as their chunks are parsed, while the workers parse the next ones. When the
// system refuses a thread, the reader goes on with those it has, down to the calling
// thread alone (ingest/thread_start.h); the result is the same. A fork by the caller's
// thread while the workers run is handled by the workers (ingest/worker.h).
//
// Thread safety: a reader serves one input and one caller thread, which alone calls the
// sink, one batch at a time, in input order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "jsonl/chunk_parser.h"
#include "profiler/column_batch.h"
#include "profiler/engine.h"
#include "profiler/value_key.h"

namespace jsonl {

// The largest thread count and chunk size a reader takes. A reader clamps its options
// into range (threads to at most kMaxThreads, chunk_bytes to 1 .. kMaxChunkBytes), so a
// chunk's size plus its padding never wraps and no caller starts threads by the
// thousand; bindings refuse values out of range before they get here.
inline constexpr std::size_t kMaxThreads = 1024;
inline constexpr std::size_t kMaxChunkBytes = std::size_t{1} << 30;
// The largest cap on a line's length (max_line_bytes is clamped to 1 .. this): no memory
// holds such a line, and the cap plus one never wraps.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 62;

struct ReadOptions {
    std::size_t threads = 1;             // parsing threads; 0: every processor usable
    std::size_t chunk_bytes = 1u << 20;  // least bytes of a chunk, but for the last
    bool strict = false;                 // the first bad line ends the reading
    std::size_t max_int_digits = 4300;   // as the interpreter's int digit limit (0: none)
    std::size_t bad_lines_kept = 10;     // how many bad lines the result describes
    std::size_t max_line_bytes = kDefaultMaxLineBytes;  // a longer line is a bad line
};

struct ReadResult {
    std::uint64_t rows = 0;   // object lines that reached the profile (or the sink)
    std::uint64_t lines = 0;  // every line read
    std::uint64_t blank_lines = 0;
    std::uint64_t bad_lines = 0;
    std::vector<BadLine> first_bad;  // the first bad lines, numbered in the whole input
    std::uint64_t bytes = 0;         // bytes read, a byte order mark included
    // Strict mode only: the first bad line, when there was one; the `rows` rows before its
    // chunk were handed on.
    std::optional<BadLine> refused;
};

class JsonlReader {
  public:
    // Receives each chunk's batch, in input order, on the caller's thread.
    using Sink = std::function<void(const profiler::ColumnBatch&)>;

    // Reads into an engine; cells are keyed under its value keys.
    JsonlReader(const profiler::KarvoEngine& engine, const ReadOptions& options);
    // Reads into any sink; cells are keyed under `keys`.
    JsonlReader(const profiler::ValueKeys& keys, Sink sink, const ReadOptions& options);
    // Stops the workers after the chunk each has in hand; input not yet finished is dropped.
    ~JsonlReader();
    JsonlReader(const JsonlReader&) = delete;
    JsonlReader& operator=(const JsonlReader&) = delete;

    // Takes the next bytes of the input, any amount: a line may span many calls. Waits
    // while the workers are behind. Returns false once strict mode has met a bad line
    // (the rest need not be fed). Rethrows a failure of the sink.
    bool feed(std::span<const char> bytes);
    // Ends the input (its last line need not end with a line feed), waits for every
    // chunk to be handed on, and says what was read. Rethrows a failure of the sink.
    ReadResult finish();

  private:
    friend ReadResult read_jsonl(const profiler::KarvoEngine&, std::span<const char>,
                                 const ReadOptions&);
    friend ReadResult read_jsonl(const profiler::ValueKeys&, const Sink&, std::span<const char>,
                                 const ReadOptions&);
    // The whole input at once, borrowed until finish: chunks are parsed in place, save
    // the last, which is copied with room for the parser's read-ahead.
    void feed_whole(std::span<const char> bytes);

    struct State;
    std::unique_ptr<State> state_;
};

// Reads a whole input held in memory, then finishes.
ReadResult read_jsonl(const profiler::KarvoEngine& engine, std::span<const char> bytes,
                      const ReadOptions& options);
ReadResult read_jsonl(const profiler::ValueKeys& keys, const JsonlReader::Sink& sink,
                      std::span<const char> bytes, const ReadOptions& options);

}  // namespace jsonl
