// Typed values, rows and the compact cell batch that the engine ingests.
//
// `TypedValue` is the typed content of one cell: Null, Float, Int or Str (a borrowed view
// of UTF-8 text that may hold NUL bytes; the producer keeps it alive until the batch
// carrying it has been processed). `TypedRow` maps column names to values, names unique
// within a row (a later value for the same name replaces the earlier one).
//
// `Cell` is one typed value in compact form: 16 bytes of column index, tag and payload.
// A cell's payload is what the engine needs of its value and nothing more: the double
// bits of a Float, the integer of an Int, the FxHash of a Str's text (its sketch key),
// nothing for Null. `CellBatch` is a batch of cells with column names borrowed once per
// batch; the engine folds it per column (see column_batch.h), as the binding folds the
// cells of each row it reads.
//
// Thread safety: plain values; no shared state.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sketch/fxhash.h"

namespace profiler {

enum class Tag : std::uint8_t { Null = 0, Float = 1, Int = 2, Str = 3 };

class TypedValue {
  public:
    static TypedValue null() { return TypedValue(Tag::Null, 0, {}); }
    static TypedValue from_float(double x) {
        return TypedValue(Tag::Float, std::bit_cast<std::uint64_t>(x), {});
    }
    static TypedValue from_int(std::int64_t i) {
        return TypedValue(Tag::Int, static_cast<std::uint64_t>(i), {});
    }
    static TypedValue from_str(std::string_view text) { return TypedValue(Tag::Str, 0, text); }

    Tag tag() const { return tag_; }
    double as_float() const { return std::bit_cast<double>(bits_); }
    std::int64_t as_int() const { return static_cast<std::int64_t>(bits_); }
    std::string_view as_str() const { return text_; }

  private:
    TypedValue(Tag tag, std::uint64_t bits, std::string_view text)
        : tag_(tag), bits_(bits), text_(text) {}
    Tag tag_;
    std::uint64_t bits_;
    std::string_view text_;
};

class TypedRow {
  public:
    using Map = std::unordered_map<std::string, TypedValue, sketch::FxStringHash, std::equal_to<>>;

    // A later value for the same name replaces the earlier one.
    void insert(std::string name, TypedValue value) {
        map_.insert_or_assign(std::move(name), value);
    }
    std::size_t size() const { return map_.size(); }
    Map::const_iterator begin() const { return map_.begin(); }
    Map::const_iterator end() const { return map_.end(); }

  private:
    Map map_;
};

// One cell of a batch, 16 bytes.
struct Cell {
    std::uint32_t column;  // index into CellBatch::columns
    Tag tag;
    std::uint64_t payload;  // Float: double bits; Int: the integer; Str: FxHash; Null: 0
};
static_assert(sizeof(Cell) == 16);

inline Cell make_cell(std::uint32_t column, const TypedValue& value) {
    switch (value.tag()) {
        case Tag::Null:
            return Cell{column, Tag::Null, 0};
        case Tag::Float:
            return Cell{column, Tag::Float, std::bit_cast<std::uint64_t>(value.as_float())};
        case Tag::Int:
            return Cell{column, Tag::Int, static_cast<std::uint64_t>(value.as_int())};
        case Tag::Str:
            return Cell{column, Tag::Str, sketch::fx_hash(value.as_str())};
    }
    return Cell{column, Tag::Null, 0};
}

// A batch in the engine's form. `columns` may name the same text more than once (two key
// objects of equal text); the engine treats such entries as one column. Each row's cells
// name distinct columns; rows need no boundaries beyond that.
struct CellBatch {
    std::vector<std::string_view> columns;  // borrowed until process_cells returns
    std::vector<Cell> cells;                // batch order
};

}  // namespace profiler
