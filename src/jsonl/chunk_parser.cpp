#include "jsonl/chunk_parser.h"

#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/probe_table.h"
#include "hash/load_le.h"
#include "jsonl/exact_line.h"
#include "profiler/name_hash.h"

namespace jsonl {

static_assert(kChunkPadding >= simdjson::SIMDJSON_PADDING);

namespace {

using profiler::Cell;
using simdjson::dom::element_type;

// The SIMD parser refuses deeper lines, which ExactLineParser then reads under its own
// limit: it must never accept what ExactLineParser refuses.
constexpr std::size_t kSimdMaxDepth = 128;
static_assert(kSimdMaxDepth < kMaxNesting);

bool is_blank(std::string_view line) {
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

template <class Word>
bool same_word(const char* a, const char* b) {
    return hash::load_le_word<Word>(reinterpret_cast<const unsigned char*>(a)) ==
           hash::load_le_word<Word>(reinterpret_cast<const unsigned char*>(b));
}

// Whether two texts are equal. Keys are short and of few lengths, so words compared in
// place, overlapping at the end, beat a call to memcmp; no read leaves either text.
bool same_text(std::string_view a, std::string_view b) {
    const std::size_t size = a.size();
    if (size != b.size()) {
        return false;
    }
    const char* x = a.data();
    const char* y = b.data();
    if (size >= 8) {
        for (std::size_t at = 0; at + 8 < size; at += 8) {
            if (!same_word<std::uint64_t>(x + at, y + at)) {
                return false;
            }
        }
        return same_word<std::uint64_t>(x + size - 8, y + size - 8);
    }
    if (size >= 4) {
        return same_word<std::uint32_t>(x, y) &&
               same_word<std::uint32_t>(x + size - 4, y + size - 4);
    }
    return size == 0 || (x[0] == y[0] && x[size / 2] == y[size / 2] && x[size - 1] == y[size - 1]);
}

// The columns of one chunk by name. A row's keys usually come in the order of the row
// before, so each field first tries the column that held its place last time, which costs
// one comparison of texts; only a miss hashes the name. The table places names by the
// engine's NameHash, under a secret key, so names cannot be chosen to share a chain.
class ColumnIndex {
  public:
    // New columns' parts are made as `keys` ask (with a summary part or without).
    explicit ColumnIndex(const profiler::ValueKeys& keys)
        : keys_(keys), hash_(profiler::NameHash::fresh()) {}

    void reset() {
        table_.clear();
        spans_.clear();
        guess_.clear();
    }

    // The column of `name`, the field at `position` of its row; a new name gets a new
    // part and a copy in the chunk's name text.
    std::uint32_t find_or_add(std::string_view name, std::size_t position, ParsedChunk& out) {
        if (position < guess_.size()) {
            const std::uint32_t guess = guess_[position];
            if (same_text(name_of(guess, out), name)) {
                return guess;
            }
        } else {
            guess_.resize(position + 1, 0);
        }
        const std::uint32_t column = lookup(name, out);
        guess_[position] = column;
        return column;
    }

    // Points the batch's names at the name text, once the chunk is read.
    void finish(ParsedChunk& out) const {
        out.batch.names.clear();
        for (std::uint32_t column = 0; column < spans_.size(); ++column) {
            out.batch.names.push_back(name_of(column, out));
        }
    }

    std::size_t size() const { return spans_.size(); }

  private:
    struct Span {
        std::uint32_t offset;
        std::uint32_t size;
    };
    // Column numbers, at most half full, with a power-of-two slot count; a free slot holds
    // a number no column has.
    using Table = common::ProbeTable<common::ReservedFree<std::uint32_t, UINT32_MAX>>;
    static constexpr std::size_t kFirstSlotCount = 32;
    static_assert(std::has_single_bit(kFirstSlotCount),
                  "home slots are the low bits of the hash, so slot counts are powers of two");

    std::string_view name_of(std::uint32_t column, const ParsedChunk& out) const {
        if (column >= spans_.size()) {
            return {};
        }
        return {out.name_text.data() + spans_[column].offset, spans_[column].size};
    }

    std::size_t home(std::string_view name, std::size_t slot_count) const {
        return hash_(name) & (slot_count - 1);
    }

    [[gnu::noinline]] std::uint32_t lookup(std::string_view name, ParsedChunk& out) {
        if (2 * (spans_.size() + 1) > table_.slot_count()) {
            grow(out);
        }
        const std::size_t at = home(name, table_.slot_count());
        const std::uint32_t* found = table_.find_slot(
            at, [&](std::uint32_t column) { return name_of(column, out) == name; });
        if (found != nullptr) {
            return *found;
        }
        const std::uint32_t column = add(name, out);
        table_.place(at, column);
        return column;
    }

    std::uint32_t add(std::string_view name, ParsedChunk& out) {
        const auto column = static_cast<std::uint32_t>(spans_.size());
        spans_.push_back(Span{static_cast<std::uint32_t>(out.name_text.size()),
                              static_cast<std::uint32_t>(name.size())});
        out.name_text.insert(out.name_text.end(), name.begin(), name.end());
        profiler::resize_parts(out.batch.parts, out.batch.parts.size() + 1, keys_);
        return column;
    }

    // Doubles the table and re-inserts every column, whose names are in the chunk's text.
    void grow(const ParsedChunk& out) {
        const std::size_t slot_count = std::max(kFirstSlotCount, 2 * table_.slot_count());
        table_.rehash(slot_count,
                      [&](std::uint32_t column) { return home(name_of(column, out), slot_count); });
    }

    const profiler::ValueKeys& keys_;
    profiler::NameHash hash_;
    Table table_;
    std::vector<Span> spans_;           // each column's name in the chunk's name text
    std::vector<std::uint32_t> guess_;  // the column last seen at each field position
};

}  // namespace

struct ChunkParser::State {
    State(const profiler::ValueKeys& keys, const ChunkOptions& options)
        : keys(keys), options(options), exact(this->keys, options.max_int_digits),
          columns(this->keys) {
        // Room for longer lines is made as they come; the depth limit stays. A failed
        // allocation leaves the parser empty, and its first parse allocates again.
        [[maybe_unused]] const auto allocated = dom.allocate(4096, kSimdMaxDepth);
    }

    void parse_line(std::string_view line, std::uint64_t number, ParsedChunk& out);
    void read_simd_object(simdjson::dom::object object, std::uint64_t number, ParsedChunk& out);
    void read_exact_object(std::uint64_t number, ParsedChunk& out);
    void start_row();
    Cell& cell_of(std::uint32_t column, std::uint64_t number);
    void make_room(std::uint32_t column);
    void fill_simd_cell(Cell& cell, simdjson::dom::element value);
    void key_texts();
    void fold_row(ParsedChunk& out);
    void bad(std::uint64_t number, std::string reason, ParsedChunk& out);

    const profiler::ValueKeys keys;
    const ChunkOptions options;
    const std::string too_long_reason =
        "line longer than " + std::to_string(options.max_line_bytes) + " bytes";
    simdjson::dom::parser dom;
    ExactLineParser exact;
    ColumnIndex columns;
    // The row being read: its cells are the first row_size, in the order of their columns'
    // first keys; the vector only grows, and its cells are written in place, field by field.
    std::vector<Cell> row;
    std::size_t row_size = 0;
    std::vector<std::uint32_t> text_of;  // per cell of `row`: a Str's text in `texts`
    // The row's texts, keyed together once it is read, and the cell of each.
    std::vector<std::string_view> texts;
    std::vector<std::uint32_t> text_cells;  // places in `row`
    std::vector<std::uint64_t> text_keys;
    std::vector<std::uint64_t> stamp;  // per column: the last line that gave it a cell
    std::vector<std::uint32_t> slot;   // per column: its cell's place in `row`
};

ChunkParser::ChunkParser(const profiler::ValueKeys& keys, const ChunkOptions& options)
    : state_(std::make_unique<State>(keys, options)) {}

ChunkParser::~ChunkParser() = default;

ParsedChunk ChunkParser::parse(std::string_view chunk) {
    State& s = *state_;
    ParsedChunk out;
    s.columns.reset();
    s.stamp.clear();
    s.slot.clear();
    const char* at = chunk.data();
    const char* const end = at + chunk.size();
    while (at < end) {
        const auto* feed = static_cast<const char*>(std::memchr(at, '\n', end - at));
        const char* line_end = feed != nullptr ? feed : end;
        ++out.lines;
        s.parse_line(std::string_view(at, line_end - at), out.lines, out);
        if (out.bad_lines > 0 && s.options.stop_at_bad_line) {
            break;
        }
        at = feed != nullptr ? feed + 1 : end;
    }
    s.columns.finish(out);
    return out;
}

void ChunkParser::State::parse_line(std::string_view line, std::uint64_t number, ParsedChunk& out) {
    if (line.size() > options.max_line_bytes) {
        bad(number, too_long_reason, out);
        return;
    }
    if (line.empty() || (line.front() != '{' && is_blank(line))) {
        ++out.blank_lines;
        return;
    }
    simdjson::dom::element document;
    if (dom.parse(line.data(), line.size(), false).get(document) == simdjson::SUCCESS) {
        if (document.type() != element_type::OBJECT) {
            bad(number, "not an object", out);
            return;
        }
        read_simd_object(document.get_object().value_unsafe(), number, out);
        return;
    }
    // Refused by the SIMD parser: the rare line that is bad, or that only json.loads
    // accepts. The whole line must be UTF-8 before it is JSON.
    if (!simdjson::validate_utf8(line.data(), line.size())) {
        bad(number, "not valid UTF-8", out);
        return;
    }
    switch (exact.parse(line)) {
        case LineKind::Object:
            read_exact_object(number, out);
            return;
        case LineKind::NotJson:
            bad(number, "not JSON: " + exact.message(), out);
            return;
        case LineKind::NotObject:
            bad(number, "not an object", out);
            return;
        case LineKind::BadKey:
            bad(number, "a key holds a lone surrogate", out);
            return;
    }
}

// Types a value as the row reader types json.loads's, through the makers, in place (the
// row's cells are written field by field). A text is keyed later, with the row's other
// texts: its cell is a Str without its key until key_texts. Inlined into the field loop:
// as a call (the compiler's choice, the keying makers being large) its entry and exit
// cost about as much as the typing itself, some 3% of the reader's time.
[[gnu::always_inline]] inline void ChunkParser::State::fill_simd_cell(Cell& cell,
                                                                      simdjson::dom::element value) {
    switch (value.type()) {
        case element_type::INT64:
            profiler::set_int(cell, value.get_int64().value_unsafe(), keys);
            return;
        case element_type::UINT64:  // beyond the signed range
            profiler::set_wide_unsigned(cell, value.get_uint64().value_unsafe(), keys);
            return;
        case element_type::DOUBLE:
            // A JSON number is never NaN, so the NaN test of set_real would be idle here.
            profiler::set_float(cell, value.get_double().value_unsafe());
            return;
        case element_type::STRING: {
            const auto place = static_cast<std::uint32_t>(&cell - row.data());
            profiler::set_str_unkeyed(cell);
            text_of[place] = static_cast<std::uint32_t>(texts.size());
            texts.push_back(value.get_string().value_unsafe());
            text_cells.push_back(place);
            return;
        }
        case element_type::BOOL:
            profiler::set_bool(cell, value.get_bool().value_unsafe(), keys);
            return;
        case element_type::NULL_VALUE:
            profiler::set_null(cell);
            return;
        case element_type::ARRAY:
        case element_type::OBJECT:
            profiler::set_null(cell, profiler::Origin::Other);
            return;
    }
}

void ChunkParser::State::read_simd_object(simdjson::dom::object object, std::uint64_t number,
                                          ParsedChunk& out) {
    start_row();
    std::size_t position = 0;
    for (const simdjson::dom::key_value_pair field : object) {
        const std::uint32_t column = columns.find_or_add(field.key, position++, out);
        fill_simd_cell(cell_of(column, number), field.value);
    }
    key_texts();
    fold_row(out);
}

// Gives the row's text cells their keys. A text whose cell a repeated key took over keys
// nothing (the cell is no longer a text), or is overwritten by the later text's key.
void ChunkParser::State::key_texts() {
    text_keys.resize(texts.size());
    profiler::bulk_text_keys(keys, texts, text_keys);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        Cell& cell = row[text_cells[i]];
        if (cell.tag == profiler::Tag::Str) {
            profiler::set_text_key(cell, text_keys[i]);
        }
    }
}

void ChunkParser::State::read_exact_object(std::uint64_t number, ParsedChunk& out) {
    start_row();
    std::size_t position = 0;
    for (const ExactLineParser::Field& field : exact.fields()) {
        const std::uint32_t column = columns.find_or_add(exact.name(field), position++, out);
        Cell& cell = cell_of(column, number);
        cell = field.cell;
        cell.column = column;
        if (cell.tag == profiler::Tag::Str) {  // its text, for the summary, as the fast path
            text_of[&cell - row.data()] = static_cast<std::uint32_t>(texts.size());
            texts.push_back(exact.text(field));
        }
    }
    fold_row(out);
}

void ChunkParser::State::start_row() {
    row_size = 0;
    texts.clear();
    text_cells.clear();
}

// The cell of `column` in the row being read: a new one, or, for a repeated key, the
// earlier one, which the later value replaces in its place.
inline Cell& ChunkParser::State::cell_of(std::uint32_t column, std::uint64_t number) {
    if (column >= stamp.size() || row_size == row.size()) [[unlikely]] {
        make_room(column);
    }
    if (stamp[column] == number) {
        return row[slot[column]];
    }
    stamp[column] = number;
    slot[column] = static_cast<std::uint32_t>(row_size);
    Cell& cell = row[row_size++];
    cell.column = column;
    return cell;
}

// Room for the stamp of `column` and one more cell.
void ChunkParser::State::make_room(std::uint32_t column) {
    if (column >= stamp.size()) {
        const std::size_t size = std::max<std::size_t>(2 * stamp.size(), column + 1);
        stamp.resize(size, 0);
        slot.resize(size, 0);
    }
    if (row_size == row.size()) {
        row.resize(std::max<std::size_t>(16, 2 * row.size()));
        text_of.resize(row.size());
    }
}

void ChunkParser::State::fold_row(ParsedChunk& out) {
    for (std::size_t i = 0; i < row_size; ++i) {
        const Cell& cell = row[i];
        const std::string_view text =
            cell.tag == profiler::Tag::Str ? texts[text_of[i]] : std::string_view();
        out.batch.parts[cell.column].add(cell, text);
    }
    ++out.rows;
}

void ChunkParser::State::bad(std::uint64_t number, std::string reason, ParsedChunk& out) {
    ++out.bad_lines;
    if (out.first_bad.size() < options.bad_lines_kept) {
        out.first_bad.push_back(BadLine{number, std::move(reason)});
    }
}

}  // namespace jsonl
