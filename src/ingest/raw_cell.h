// Raw cells: values as a row reader leaves them, before the sketch keys that take hashing
// are made, so that another thread can make those keys and fold the cells into their
// columns' parts.
//
// A RawCell has one of three forms:
//   - Keyed: a finished Cell (payload and key). Null, Float, the ints in [2^63, 2^64),
//     and the texts the reader keyed itself (long ones, or any while no second thread
//     folds) take this form.
//   - Int: a signed 64-bit integer, keyed when folded (int_key).
//   - Text: UTF-8 bytes copied into the chunk's text arena, keyed when folded (text_key).
// to_cell gives the Cell of any form through the makers of typed_value.h, the one place
// that says which key a value takes: a text keyed by the reader and the same text keyed
// when folded get equal keys, on whichever thread.
//
// A CellChunk is a run of whole rows' raw cells and the text they refer to. It points
// into no memory it does not own, so the thread that folds it reads nothing else: above
// all no object of the interpreter, which hooks running on the reading thread may free.
//
// Invariants: a Text cell's [offset, offset + size) lies within its chunk's text; a
// chunk holds whole rows only (a row's duplicate cells are dropped before it ends).
//
// Thread safety: plain values; a chunk is used by one thread at a time, handed over under
// the lock of the pipeline that owns it (fold_pipeline.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "profiler/column_batch.h"
#include "profiler/typed_value.h"

namespace ingest {

using profiler::Cell;
using profiler::ColumnPart;
using profiler::Tag;
using profiler::Origin;
using profiler::resize_parts;
using profiler::ValueKeys;

enum class RawForm : std::uint8_t { Keyed = 0, Int = 1, Text = 2 };

// One raw cell, 24 bytes, like the Cell it becomes.
struct RawCell {
    std::uint32_t column;
    Tag tag;
    RawForm form;
    Origin origin;
    std::uint64_t payload;  // Keyed: the cell's payload; Int: the integer; Text: its size
    std::uint64_t key;      // Keyed: the cell's key; Int: 0; Text: its offset in the arena
};
static_assert(sizeof(RawCell) == 24);

inline RawCell keyed(const Cell& cell) {
    return RawCell{cell.column, cell.tag, RawForm::Keyed, cell.origin, cell.payload, cell.key};
}
inline RawCell raw_int(std::uint32_t column, std::int64_t i, Origin origin = Origin::Int) {
    return RawCell{column, Tag::Int, RawForm::Int, origin, static_cast<std::uint64_t>(i), 0};
}

// The bytes of a chunk's Text cells, back to back. The reader appends a text per text
// cell: a short one is copied by two overlapping moves of a fixed size, inline, where a
// string's append would call the library's copy and keep a terminating NUL.
class TextArena {
  public:
    // Appends a copy of `bytes`; returns its offset. Throws bad_alloc.
    std::uint64_t append(std::string_view bytes) {
        if (capacity_ - size_ < bytes.size()) [[unlikely]] {
            grow(bytes.size());
        }
        copy(data_.get() + size_, bytes.data(), bytes.size());
        const std::uint64_t offset = size_;
        size_ += bytes.size();
        return offset;
    }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    operator std::string_view() const { return {data_.get(), size_}; }
    void clear() { size_ = 0; }
    // Clears it and gives its memory back.
    void release() {
        data_.reset();
        size_ = capacity_ = 0;
    }

  private:
    // At least doubles the capacity, to make room for `more` bytes.
    void grow(std::size_t more) {
        const std::size_t capacity = std::max({std::size_t{4096}, 2 * capacity_, size_ + more});
        auto data = std::make_unique_for_overwrite<char[]>(capacity);
        if (size_ != 0) {
            std::memcpy(data.get(), data_.get(), size_);
        }
        data_ = std::move(data);
        capacity_ = capacity;
    }
    static void copy(char* to, const char* from, std::size_t n) {
        if (n >= 8 && n <= 16) {
            std::memcpy(to, from, 8);
            std::memcpy(to + n - 8, from + n - 8, 8);
        } else if (n > 16 && n <= 32) {
            std::memcpy(to, from, 16);
            std::memcpy(to + n - 16, from + n - 16, 16);
        } else if (n != 0) {
            std::memcpy(to, from, n);
        }
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct CellChunk {
    std::vector<RawCell> cells;
    TextArena text;  // the bytes of the Text cells

    // A Text cell for a copy of utf8.
    RawCell text_cell(std::uint32_t column, std::string_view utf8) {
        const std::uint64_t offset = text.append(utf8);
        return RawCell{column, Tag::Str, RawForm::Text, Origin::Text, utf8.size(), offset};
    }
    void clear() {
        cells.clear();
        text.clear();
    }
};

// The Cell a raw cell of `chunk_text`'s chunk stands for, keyed under `keys`.
inline Cell to_cell(const RawCell& raw, std::string_view chunk_text, const ValueKeys& keys) {
    switch (raw.form) {
        case RawForm::Int:
            return int_cell(raw.column, static_cast<std::int64_t>(raw.payload), keys, raw.origin);
        case RawForm::Text:
            return str_cell(raw.column, chunk_text.substr(raw.key, raw.payload), keys, raw.origin);
        case RawForm::Keyed:
            break;
    }
    return Cell{raw.column, raw.tag, raw.origin, raw.payload, raw.key};
}
// The text a raw cell of `chunk_text`'s chunk holds: a Text cell's bytes, else empty.
inline std::string_view text_of(const RawCell& raw, std::string_view chunk_text) {
    return raw.form == RawForm::Text ? chunk_text.substr(raw.key, raw.payload) : std::string_view();
}

// Folds cells of `chunk_text`'s chunk, in order, into parts indexed by column, adding
// empty parts up to a column not seen before.
inline void fold_cells(std::span<const RawCell> cells, std::string_view chunk_text,
                       const ValueKeys& keys, std::vector<ColumnPart>& parts) {
    for (const RawCell& raw : cells) {
        if (raw.column >= parts.size()) [[unlikely]] {
            resize_parts(parts, std::size_t{raw.column} + 1, keys);
        }
        parts[raw.column].add(to_cell(raw, chunk_text, keys), text_of(raw, chunk_text));
    }
}

// Folds rows one at a time, each all or nothing, into parts indexed by column. Every part
// keeps room for one more key (ColumnPart::make_room_for_cell), and a row names each column
// once (see above), so it adds at most one key to each part: once the parts it names for
// the first time exist, folding it cannot fail. The room a cell used is made again right
// after it, while the part is at hand; should that fail, the row still stands whole, and
// the room is made for every part before the next row instead, which may throw bad_alloc
// with nothing of that row folded. So a row that throws has left the parts as they were,
// at most with new empty parts.
//
// Several rows folded as one (a call's rows, all or none of them) add at most one key
// per row to a part: room for that many is made in each part they name before any cell
// is added, so they too stand whole or not at all.
class RowFolder {
  public:
    // Folds `cells`, the cells of `rows` rows (each naming a column at most once).
    void fold(std::span<const RawCell> cells, std::string_view chunk_text, const ValueKeys& keys,
              std::vector<ColumnPart>& parts, std::size_t rows = 1) {
        if (cells.empty()) {
            return;
        }
        add_new_parts(cells, keys, parts);  // a fresh part has room for its first key
        if (room_short_) [[unlikely]] {
            for (ColumnPart& part : parts) {
                part.make_room_for_cell();
            }
            room_short_ = false;
        }
        if (rows > 1) {
            for (const RawCell& raw : cells) {
                parts[raw.column].make_room_for_cells(rows);
            }
        }
        ColumnPart* const part = parts.data();
        for (const RawCell& raw : cells) {
            ColumnPart& target = part[raw.column];
            target.add(to_cell(raw, chunk_text, keys), text_of(raw, chunk_text));
            if (target.needs_room()) [[unlikely]] {
                try {
                    target.make_room_for_cell();
                } catch (const std::bad_alloc&) {
                    room_short_ = true;
                }
            }
        }
    }

  private:
    static void add_new_parts(std::span<const RawCell> cells, const ValueKeys& keys,
                              std::vector<ColumnPart>& parts) {
        std::uint32_t last = 0;
        for (const RawCell& raw : cells) {
            last = std::max(last, raw.column);
        }
        if (last >= parts.size()) {
            resize_parts(parts, std::size_t{last} + 1, keys);
        }
    }

    bool room_short_ = false;  // some part may lack room for its next key
};

}  // namespace ingest
