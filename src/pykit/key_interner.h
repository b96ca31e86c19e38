// The key interner: the batch column of each distinct key text of a call.
//
// Owns: the identity table (key object to column) and the text table (hash of a key text
// to column), their growth, and the limit past which new key objects of a known text are
// found by text alone. Knows nothing of values, cells or the dictionary walk: callers hand
// it key objects and their UTF-8, and keep the column names and the pool of key references.
//
// Invariant: a key object in the identity table is held by the caller's pool, so its
// address stays its identity for the call.
// Thread safety: one interner per call, used with the GIL held.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "pykit/py_ref.h"
#include "common/probe_table.h"

namespace pykit {

// The batch column of each distinct key text of a call, found by key object identity
// and, for a key object not seen before, by its text. The text table places names by the
// engine's NameHash under a per-process secret key, so names chosen to collide under
// FxHash (or any precomputed set) do not share a chain. Both tables are probe tables
// (common/probe_table.h) kept at most half full, with a power-of-two slot count.
class KeyInterner {
  public:
    struct Found {
        std::uint32_t column;
        bool pooled;  // the key object itself is now held by the pool (identity is safe)
    };
    // The column already known for this key object, or -1; never raises.
    std::int64_t find_object(PyObject* key) const;
    // The column of a str key with the given UTF-8 text, adding the text to `columns`
    // (and a reference to the key to `pool`) when the batch has not seen it.
    Found column_of_text(PyObject* key, std::string_view text,
                         std::vector<std::string_view>& columns, std::vector<PyRef>& pool);
    // Indexes a column made without a lookup, whose key object the pool holds.
    void add_column(PyObject* key, std::string_view text, std::uint32_t column);

  private:
    static constexpr std::uint32_t kNoColumn = 0xFFFFFFFF;

    // A key object and its column; free while it holds no object.
    struct ObjectSlot {
        PyObject* key = nullptr;
        std::uint32_t column = 0;
    };
    struct ObjectSlots {
        using Slot = ObjectSlot;
        bool is_free(const Slot& slot) const { return slot.key == nullptr; }
        void clear(std::span<Slot> slots) { std::fill(slots.begin(), slots.end(), Slot{}); }
    };
    // A column and the hash of its text; free while it names no column.
    struct TextSlot {
        std::uint64_t hash = 0;
        std::uint32_t column = kNoColumn;
    };
    struct TextSlots {
        using Slot = TextSlot;
        bool is_free(const Slot& slot) const { return slot.column == kNoColumn; }
        void clear(std::span<Slot> slots) { std::fill(slots.begin(), slots.end(), Slot{}); }
    };

    void insert_object(PyObject* key, std::uint32_t column);
    void insert_text(std::uint64_t hash, std::uint32_t column);
    std::int64_t find_text(std::uint64_t hash, std::string_view text,
                           const std::vector<std::string_view>& columns) const;

    common::ProbeTable<ObjectSlots> objects_;
    common::ProbeTable<TextSlots> texts_;  // one slot per column
};

}  // namespace pykit
