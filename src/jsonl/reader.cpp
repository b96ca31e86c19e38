#include "jsonl/reader.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <string_view>

#include "ingest/worker.h"
#include "profiler/cpu_budget.h"

namespace jsonl {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A buffer with kChunkPadding readable (zeroed) bytes past `size`. A size whose padded
// length would wrap cannot be allocated anyway, and fails as allocation does.
std::unique_ptr<char[]> padded_buffer(std::size_t size) {
    if (size > std::numeric_limits<std::size_t>::max() - kChunkPadding) {
        throw std::bad_alloc();
    }
    auto buffer = std::make_unique_for_overwrite<char[]>(size + kChunkPadding);
    std::memset(buffer.get() + size, 0, kChunkPadding);
    return buffer;
}

// The end of the chunk that starts at `start`: just past the first line feed at or after
// chunk_bytes - 1 bytes into it, or the end of the input.
std::size_t chunk_end(std::span<const char> input, std::size_t start, std::size_t chunk_bytes) {
    const std::size_t from = start + chunk_bytes - 1;
    if (from >= input.size()) {
        return input.size();
    }
    const auto* feed =
        static_cast<const char*>(std::memchr(input.data() + from, '\n', input.size() - from));
    return feed != nullptr ? static_cast<std::size_t>(feed - input.data()) + 1 : input.size();
}

}  // namespace

// A chunk on its way to a parser: its place in the input and its bytes, owned or borrowed.
struct Chunk {
    std::uint64_t index = 0;
    std::string_view bytes;
    std::unique_ptr<char[]> owned;
};

// A parsing thread: its worker and the parser its tasks use (one task at a time, on the
// worker's thread or the caller's, so the parser is never used by two at once).
struct Lane {
    Lane(const profiler::ValueKeys& keys, const ChunkOptions& options) : parser(keys, options) {}

    ChunkParser parser;
    ingest::Worker worker{2};  // chunk i and chunk i + lanes (see State)
};

// A chunk from its submission until its batch is handed on.
struct InFlight {
    Chunk chunk;
    ParsedChunk parsed;
    Lane* lane = nullptr;
    std::uint64_t task = 0;  // its number on the lane's worker
};

// Chunk i goes to lane i % lanes and waits in flight[i % (2 x lanes)]: each lane parses
// one chunk and has the next one queued, so none runs dry while the caller hands on.
// Batches are handed on by the caller's thread, in input order, as their chunks end.
struct JsonlReader::State {
    State(const profiler::ValueKeys& keys, Sink sink, const ReadOptions& options);

    // Input side, on the caller's thread.
    void append(std::span<const char> bytes);
    void take(std::span<const char> bytes);
    void settle_open_line();
    void cut(std::size_t length);
    void cut_whole_chunks();
    void submit(std::string_view bytes, std::unique_ptr<char[]> owned);

    // Parsing and handing on.
    void start_lanes(std::size_t threads);
    void parse(InFlight& in_flight);
    void hand_on_ended();
    void hand_on_oldest();
    void hand_on(ParsedChunk& parsed);
    bool skipping() const { return dropping.load(std::memory_order_relaxed); }
    void drop(std::exception_ptr caught);
    void rethrow_failure() const;

    const profiler::ValueKeys keys;
    const Sink sink;
    ReadOptions options;
    ChunkOptions chunk_options;

    std::unique_ptr<char[]> pending;  // the input's unread tail, whole lines not yet a chunk
    std::size_t pending_size = 0;
    std::size_t pending_capacity = 0;
    std::size_t open_line = 0;   // bytes kept of pending's last line, not yet ended
    bool start_checked = false;  // whether a byte order mark was looked for
    std::uint64_t next_index = 0;
    std::uint64_t handed_on = 0;  // chunks handed on (or dropped), in input order
    std::uint64_t bytes_read = 0;
    bool finished = false;
    bool refused = false;
    std::exception_ptr failure;  // a parse's or the sink's; nothing more is handed on
    // Strict mode met a bad line or something failed: the rest of the input is dropped.
    // Read by the lanes' tasks, which then skip their parse.
    std::atomic<bool> dropping{false};
    ReadResult result;

    std::vector<InFlight> flight;
    // Declared last: the lanes' workers are joined before anything their tasks touch goes.
    std::vector<std::unique_ptr<Lane>> lanes;
};

JsonlReader::State::State(const profiler::ValueKeys& keys, Sink sink, const ReadOptions& options)
    : keys(keys), sink(std::move(sink)), options(options) {
    this->options.chunk_bytes = std::clamp<std::size_t>(options.chunk_bytes, 1, kMaxChunkBytes);
    this->options.max_line_bytes =
        std::clamp<std::size_t>(options.max_line_bytes, 1, kMaxLineBytes);
    chunk_options.max_int_digits = options.max_int_digits;
    chunk_options.max_line_bytes = this->options.max_line_bytes;
    chunk_options.bad_lines_kept = options.strict ? 1 : options.bad_lines_kept;
    chunk_options.stop_at_bad_line = options.strict;
    // Every processor: as many as the CPU budget (affinity and the cgroup quota) allows.
    const std::size_t threads =
        options.threads == 0 ? profiler::usable_processors() : options.threads;
    start_lanes(std::min(threads, kMaxThreads));
    flight.resize(2 * lanes.size());
}

// Starts the parsing threads. When the system refuses one, the reading goes on with those
// it has: the result does not depend on their number, and with none the calling thread
// parses alone (a lane whose worker never started runs its tasks on the caller).
void JsonlReader::State::start_lanes(std::size_t threads) {
    lanes.reserve(threads);
    for (std::size_t i = 0; i < threads && threads > 1; ++i) {
        auto lane = std::make_unique<Lane>(keys, chunk_options);
        if (!lane->worker.start()) {
            break;
        }
        lanes.push_back(std::move(lane));
    }
    if (lanes.empty()) {
        lanes.push_back(std::make_unique<Lane>(keys, chunk_options));
    }
}

void JsonlReader::State::append(std::span<const char> bytes) {
    const std::size_t needed = pending_size + bytes.size();
    if (needed > pending_capacity) {
        const std::size_t capacity =
            std::max({needed, 2 * pending_capacity, options.chunk_bytes + kChunkPadding});
        auto grown = padded_buffer(capacity);
        if (pending_size > 0) {
            std::memcpy(grown.get(), pending.get(), pending_size);
        }
        pending = std::move(grown);
        pending_capacity = capacity;
    }
    std::memcpy(pending.get() + pending_size, bytes.data(), bytes.size());
    pending_size = needed;
    std::memset(pending.get() + pending_size, 0, kChunkPadding);
}

// Appends fed bytes, keeping at most max_line_bytes + 1 bytes of a line not yet ended:
// enough for the parser to find it too long. The rest of such a line is dropped up to its
// line feed. Lines that end within `bytes` are kept whole (they are the caller's already).
void JsonlReader::State::take(std::span<const char> bytes) {
    const std::size_t keep_most = options.max_line_bytes + 1;
    if (bytes.empty()) {
        return;
    }
    if (open_line == keep_most) {
        const auto* feed = static_cast<const char*>(std::memchr(bytes.data(), '\n', bytes.size()));
        if (feed == nullptr) {
            return;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(feed - bytes.data()));
        open_line = 0;
    }
    const auto* last = static_cast<const char*>(memrchr(bytes.data(), '\n', bytes.size()));
    std::size_t whole = 0;
    if (last != nullptr) {
        whole = static_cast<std::size_t>(last - bytes.data()) + 1;
        open_line = 0;
    }
    const std::size_t kept = std::min(bytes.size() - whole, keep_most - open_line);
    append(bytes.first(whole + kept));
    open_line += kept;
}

// Sets open_line from pending as it stands (after raw appends), trimming a line past the cap.
void JsonlReader::State::settle_open_line() {
    const auto* last = static_cast<const char*>(memrchr(pending.get(), '\n', pending_size));
    const std::size_t start =
        last != nullptr ? static_cast<std::size_t>(last - pending.get()) + 1 : 0;
    open_line = std::min(pending_size - start, options.max_line_bytes + 1);
    pending_size = start + open_line;
    std::memset(pending.get() + pending_size, 0, kChunkPadding);
}

// Sends the first `length` pending bytes as a chunk; the rest stays pending.
void JsonlReader::State::cut(std::size_t length) {
    std::unique_ptr<char[]> chunk = std::move(pending);
    const std::size_t rest = pending_size - length;
    pending_size = 0;
    pending_capacity = 0;
    if (rest > 0) {
        append(std::span<const char>(chunk.get() + length, rest));
    }
    std::memset(chunk.get() + length, 0, kChunkPadding);
    const std::string_view bytes(chunk.get(), length);
    submit(bytes, std::move(chunk));
}

// Cuts chunks off the front of pending while it holds a line feed where a chunk may end.
// Afterwards pending holds no line feed at or after chunk_bytes - 1, so the next chunk
// ends at the next line feed fed.
void JsonlReader::State::cut_whole_chunks() {
    while (pending_size >= options.chunk_bytes && !skipping()) {
        const std::size_t end = chunk_end({pending.get(), pending_size}, 0, options.chunk_bytes);
        if (pending.get()[end - 1] != '\n') {
            return;
        }
        cut(end);
    }
}

// Gives the chunk to its lane, then hands on the batches whose chunks have ended, oldest
// first. Waits (or parses here) for the oldest chunk while every place in flight is taken.
void JsonlReader::State::submit(std::string_view bytes, std::unique_ptr<char[]> owned) {
    if (skipping()) {
        return;
    }
    try {
        if (next_index - handed_on == flight.size()) {
            hand_on_oldest();
            if (skipping()) {
                return;
            }
        }
        InFlight& slot = flight[next_index % flight.size()];
        slot.chunk = Chunk{next_index, bytes, std::move(owned)};
        slot.lane = lanes[next_index % lanes.size()].get();
        ++next_index;
        slot.task = slot.lane->worker.run([this, in_flight = &slot] { parse(*in_flight); });
        hand_on_ended();
    } catch (...) {
        drop(std::current_exception());
        throw;
    }
}

// A lane's task.
void JsonlReader::State::parse(InFlight& in_flight) {
    if (!skipping()) {
        in_flight.parsed = in_flight.lane->parser.parse(in_flight.chunk.bytes);
    }
    in_flight.chunk.owned.reset();
}

void JsonlReader::State::hand_on_ended() {
    while (handed_on < next_index && !skipping()) {
        const InFlight& oldest = flight[handed_on % flight.size()];
        if (!oldest.lane->worker.ended(oldest.task)) {
            return;
        }
        hand_on_oldest();
    }
}

void JsonlReader::State::hand_on_oldest() {
    InFlight& oldest = flight[handed_on % flight.size()];
    oldest.lane->worker.wait_for(oldest.task);
    ++handed_on;
    ParsedChunk parsed = std::move(oldest.parsed);
    oldest.parsed = ParsedChunk{};
    hand_on(parsed);
}

// Runs for one chunk at a time, in input order, on the caller's thread.
void JsonlReader::State::hand_on(ParsedChunk& parsed) {
    if (skipping()) {
        return;
    }
    const std::uint64_t base = result.lines;
    if (options.strict && parsed.bad_lines > 0) {
        BadLine first = parsed.first_bad.front();
        first.line += base;
        result.lines = first.line;
        result.bad_lines = 1;
        result.first_bad.assign(1, first);
        result.refused = std::move(first);
        refused = true;
        dropping.store(true, std::memory_order_relaxed);
        return;
    }
    result.lines += parsed.lines;
    result.blank_lines += parsed.blank_lines;
    result.bad_lines += parsed.bad_lines;
    for (BadLine& bad : parsed.first_bad) {
        if (result.first_bad.size() >= options.bad_lines_kept) {
            break;
        }
        bad.line += base;
        result.first_bad.push_back(std::move(bad));
    }
    if (parsed.rows > 0) {
        sink(parsed.batch);
        result.rows += parsed.rows;
    }
}

void JsonlReader::State::drop(std::exception_ptr caught) {
    if (failure == nullptr) {
        failure = std::move(caught);
    }
    dropping.store(true, std::memory_order_relaxed);
}

void JsonlReader::State::rethrow_failure() const {
    if (failure != nullptr) {
        std::rethrow_exception(failure);
    }
}

JsonlReader::JsonlReader(const profiler::KarvoEngine& engine, const ReadOptions& options)
    : JsonlReader(
          engine.value_keys(),
          [&engine](const profiler::ColumnBatch& batch) { engine.process_columns(batch); },
          options) {}

JsonlReader::JsonlReader(const profiler::ValueKeys& keys, Sink sink, const ReadOptions& options)
    : state_(std::make_unique<State>(keys, std::move(sink), options)) {}

JsonlReader::~JsonlReader() {
    state_->dropping.store(true, std::memory_order_relaxed);
}

bool JsonlReader::feed(std::span<const char> bytes) {
    State& s = *state_;
    s.bytes_read += bytes.size();
    s.rethrow_failure();
    if (s.finished || s.skipping()) {
        return !s.refused;
    }
    const std::size_t chunk_bytes = s.options.chunk_bytes;
    while (!bytes.empty()) {
        if (!s.start_checked) {
            // The first three bytes decide whether the input opens with a byte order mark.
            const std::size_t take = std::min(bytes.size(), kByteOrderMark.size() - s.pending_size);
            s.append(bytes.first(take));
            bytes = bytes.subspan(take);
            if (s.pending_size < kByteOrderMark.size()) {
                continue;
            }
            s.start_checked = true;
            if (std::string_view(s.pending.get(), s.pending_size) == kByteOrderMark) {
                s.pending_size = 0;
            }
            s.settle_open_line();
            s.cut_whole_chunks();  // with a tiny chunk size there may be some
            continue;
        }
        if (s.pending_size < chunk_bytes) {
            // Pending holds no possible cut yet: fill up to the first place where one may be.
            const std::size_t take = std::min(bytes.size(), chunk_bytes - s.pending_size);
            s.take(bytes.first(take));
            bytes = bytes.subspan(take);
            s.cut_whole_chunks();
            continue;
        }
        // Pending is long enough and holds no line feed where a cut may be: the chunk ends
        // at the next line feed to come.
        const auto* feed = static_cast<const char*>(std::memchr(bytes.data(), '\n', bytes.size()));
        if (feed == nullptr) {
            s.take(bytes);
            break;
        }
        const auto line_end = static_cast<std::size_t>(feed - bytes.data()) + 1;
        s.take(bytes.first(line_end));
        bytes = bytes.subspan(line_end);
        s.cut(s.pending_size);
        if (s.skipping()) {
            break;
        }
    }
    s.rethrow_failure();
    return !s.refused;
}

void JsonlReader::feed_whole(std::span<const char> bytes) {
    State& s = *state_;
    s.bytes_read += bytes.size();
    s.start_checked = true;
    if (std::string_view(bytes.data(), bytes.size()).starts_with(kByteOrderMark)) {
        bytes = bytes.subspan(kByteOrderMark.size());
    }
    std::size_t start = 0;
    while (start < bytes.size() && !s.skipping()) {
        const std::size_t end = chunk_end(bytes, start, s.options.chunk_bytes);
        const std::string_view chunk(bytes.data() + start, end - start);
        if (end + kChunkPadding <= bytes.size()) {
            s.submit(chunk, nullptr);  // the input's next bytes are the parser's read-ahead
        } else {
            // Copied with room for the read-ahead; an unended last line only up to the cap.
            s.take(chunk);
            s.cut(s.pending_size);
        }
        start = end;
    }
}

ReadResult JsonlReader::finish() {
    State& s = *state_;
    if (!s.finished) {
        s.finished = true;
        s.rethrow_failure();
        if (s.pending_size > 0 && !s.skipping()) {
            s.cut(s.pending_size);
        }
        try {
            while (s.handed_on < s.next_index && !s.skipping()) {
                s.hand_on_oldest();
            }
        } catch (...) {
            s.drop(std::current_exception());
            throw;
        }
        s.result.bytes = s.bytes_read;
    }
    s.rethrow_failure();
    return s.result;
}

ReadResult read_jsonl(const profiler::KarvoEngine& engine, std::span<const char> bytes,
                      const ReadOptions& options) {
    JsonlReader reader(engine, options);
    reader.feed_whole(bytes);
    return reader.finish();
}

ReadResult read_jsonl(const profiler::ValueKeys& keys, const JsonlReader::Sink& sink,
                      std::span<const char> bytes, const ReadOptions& options) {
    JsonlReader reader(keys, sink, options);
    reader.feed_whole(bytes);
    return reader.finish();
}

}  // namespace jsonl
