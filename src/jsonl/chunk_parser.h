// ChunkParser: one chunk of JSON Lines turned into the engine's column batch.
//
// A chunk is a run of whole lines. Each line is read on its own: first by the SIMD
// parser (simdjson's DOM, which checks the whole line: UTF-8, grammar, escapes), and
// when that refuses it, by ExactLineParser, which accepts what json.loads accepts beyond
// strict JSON. A line is then one of:
//   - too long: more than max_line_bytes bytes before its line feed, a bad line whatever
//     it holds (blank ones included), judged by its length alone, so a reader may drop
//     what lies past the cap and still get the same verdict;
//   - blank (empty, or only spaces, tabs and CRs): skipped, not a bad line;
//   - an object: a row; each member becomes a cell of the column of its key, typed as the
//     row reader types json.loads's values; a repeated key keeps its last value and its
//     first place;
//   - bad: not valid UTF-8, not JSON, not an object, or a key with a lone surrogate.
// Rows are folded into their columns' parts as they are read (column_batch.h), parts in
// the order their columns first appear in the chunk; a bad line adds nothing, not even
// a column. Text values are hashed as they are read, so the batch refers to nothing of
// the input: the chunk's bytes may go as soon as it is parsed.
//
// Chunks are independent of one another, so any number of parsers may run at once, one
// per thread, on different chunks of one input.
//
// Thread safety: a parser is used by one thread at a time; parsed chunks are plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "profiler/column_batch.h"
#include "profiler/value_key.h"

namespace jsonl {

// Bytes past the end of a chunk that must be readable (their content does not matter):
// the SIMD parser reads whole blocks.
inline constexpr std::size_t kChunkPadding = 64;

// The default cap on one line's length (its bytes before the line feed): far beyond any
// real record, yet a line with no end (a device, a broken writer) cannot fill memory.
inline constexpr std::size_t kDefaultMaxLineBytes = std::size_t{256} << 20;

struct BadLine {
    std::uint64_t line;  // counted from 1
    std::string reason;  // "not valid UTF-8", "not JSON: ...", "not an object", ...
    friend bool operator==(const BadLine&, const BadLine&) = default;
};

// What a chunk gives. Line numbers here count from 1 at the chunk's first line.
struct ParsedChunk {
    profiler::ColumnBatch batch;  // names view name_text
    std::vector<char> name_text;  // the batch's names back to back; moves keep its address
    std::uint64_t lines = 0;      // every line, blank and bad ones included
    std::uint64_t rows = 0;
    std::uint64_t blank_lines = 0;
    std::uint64_t bad_lines = 0;
    std::vector<BadLine> first_bad;  // the first few bad lines, in line order
};

struct ChunkOptions {
    std::size_t max_int_digits = 4300;  // longest integer literal json.loads takes (0: any)
    std::size_t bad_lines_kept = 10;    // how many bad lines a chunk describes
    bool stop_at_bad_line = false;      // end the chunk at its first bad line
    std::size_t max_line_bytes = kDefaultMaxLineBytes;  // a longer line is bad
};

class ChunkParser {
  public:
    ChunkParser(const profiler::ValueKeys& keys, const ChunkOptions& options);
    ~ChunkParser();
    ChunkParser(const ChunkParser&) = delete;
    ChunkParser& operator=(const ChunkParser&) = delete;

    // Parses the lines of `chunk`, whose last line may lack its line feed. The
    // kChunkPadding bytes after the chunk must be readable.
    ParsedChunk parse(std::string_view chunk);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace jsonl
