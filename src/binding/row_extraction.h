// Row extraction: Python dictionaries turned into the engine's column batch.
//
// A BatchBuilder serves one observe_dict / observe_dicts call. extract_row reads one
// dictionary through its own storage (PyDict_Next; the methods of a subclass are never
// called) into one raw cell per entry (profiler/raw_cell.h): the key's batch column and
// the value typed by the value rules (Null, Int, Float or Str); a Str is carried by its
// sketch key, made under the engine's value keys, or by a copy of its text for a second
// thread to key. At the row's end the row goes to the builder's fold pipeline
// (profiler/fold_pipeline.h), which folds it into its columns' parts (counts, bounds,
// sketch keys) on this thread or, in a large call, hands it to a worker that never sees a
// Python object. Nothing reaches the engine until the whole input is converted (finish),
// so a failed call ingests nothing.
//
// Invariants:
//   - Every column text in the batch is a view of the UTF-8 of a key object that the
//     builder's pool holds, so the view (and the object's address, which the interner
//     uses as identity) stays valid until the builder is destroyed, after the engine call.
//   - Equal key texts get one batch column, so a row whose keys are all exact str names
//     distinct columns; a row with a str-subclass key keeps only the last cell of each
//     column, as a dictionary read entry by entry with later values replacing earlier
//     ones would.
//   - Text values are hashed or copied as they are read; the builder keeps no reference to
//     values, and leaves exact str values as it found them (no UTF-8 copy is cached on
//     them).
//   - A row's entries (key object and iteration position) are listed before any value is
//     read, while no Python code can run. Values of exact built-in types are read from
//     that list. From the first value that may run a hook (the general rules) on, the list
//     is a snapshot that the dictionary must keep matching: each later entry is fetched
//     again at its recorded position and must still hold the same key object, and once
//     the row is read the dictionary must still yield exactly the snapshot's (position,
//     key) sequence. Any change to the keys that a hook leaves visible, a rebuild or
//     reorder at equal size included, ends the call with a Panic; so a row never loses a
//     cell nor counts one twice. Values replaced at unchanged keys are read as they are
//     when their entry comes.
//
// Thread safety: one builder per call, used with the GIL held; its pipeline's worker, if
// any, touches only the pipeline's own memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py_ref.h"
#include "common/probe_table.h"
#include "profiler/column_batch.h"
#include "profiler/fold_pipeline.h"
#include "profiler/typed_value.h"

namespace binding {

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

// The UTF-8 of non-ASCII exact str values, written into buffers reused from one value to
// the next. The limited API offers a str's UTF-8 without a copy only by caching it inside
// the object for the object's whole life; the strict encoder instead allocates a bytes
// object per value, which costs more than the encoding of a short text. Here the text's
// code points are copied out (PyUnicode_AsUCS4) and encoded by common::encode_utf8: the
// same bytes, and nothing allocated once the buffers have grown to the call's longest
// text. This is the faster way at every length measured (8 to 16,000 code points, Latin,
// CJK and emoji); texts past kLongestText code points still take the interpreter's bytes
// object, only so that the buffers a builder keeps stay within 8 * kLongestText bytes.
class Utf8Scratch {
  public:
    static constexpr std::size_t kLongestText = 1 << 14;

    // Whether `text` (an exact str) is short enough to be encoded here.
    static bool fits(Py_ssize_t length) { return static_cast<std::size_t>(length) <= kLongestText; }
    // The UTF-8 of `text`, an exact str of `length` code points (<= kLongestText), valid
    // until the next call; false, with no exception pending, when it has no UTF-8 (it holds
    // a lone surrogate) or cannot be read.
    bool encode(PyObject* text, Py_ssize_t length, std::string_view& utf8);

  private:
    std::vector<char32_t> code_points_;
    std::vector<char> bytes_;
};

class BatchBuilder {
  public:
    // Cells are keyed under `keys` (the engine's), and folded as `options` say (by default
    // on the calling thread alone); reserves room for as many columns as the call is
    // expected to name.
    explicit BatchBuilder(const profiler::ValueKeys& keys, std::size_t expected_columns = 0,
                          profiler::FoldOptions options = {});

    // Appends the cells of one dictionary (a dict or subclass), which the caller holds a
    // reference to for the call (hooks may drop every other), and returns how many entries
    // it read. Throws TypeError for a key that is not a str, UnicodeEncodeError for a key
    // that is not valid text, a Panic when the dictionary's keys change while it is read,
    // and the exception of a hook that asks to stop (one that is not an Exception).
    std::size_t extract_row(PyObject* dictionary);

    // The batch of every row extracted, once they are all folded; called after the last
    // row. Throws what the fold pipeline's worker failed with (bad_alloc). Once it has
    // returned, later calls return the same batch (a batch the engine refused is offered
    // again).
    const profiler::ColumnBatch& finish();
    // After finish: the fold pipeline's worker, lent to the engine; null when there is none.
    profiler::SecondThread* second_thread() { return pipeline_.second_thread(); }

  private:
    // What the entry at one position of the previous rows named: rows of a batch mostly
    // list the same keys in the same order, so this is the first guess for the column.
    struct Guess {
        PyObject* key = nullptr;  // only a key object the pool holds, else null
        std::uint32_t column = kNoGuess;
    };
    static constexpr std::uint32_t kNoGuess = 0xFFFFFFFF;

    // Where the walk over one dictionary stands: its size when the walk began, how many
    // entries were listed, and the first entry whose value needs the general rules.
    struct RowWalk {
        Py_ssize_t size = 0;
        std::size_t count = 0;
        std::size_t resume_at = 0;
        bool resume = false;  // the checked walk takes over at entry `resume_at`
        bool all_keys_exact = true;
    };
    // One entry of the dictionary being read, with the iteration position after it.
    struct Entry {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t next_position = 0;
    };
    // How many entries ahead the exact walk asks for value objects.
    static constexpr std::size_t kPrefetchAhead = 16;

    void extract_exact_entries(PyObject* dictionary, RowWalk& walk);
    void extract_entries_checked(PyObject* dictionary, const RowWalk& walk);
    // The value now at listed entry i, after checking that the entry is still there.
    PyObject* fetch_again(PyObject* dictionary, const RowWalk& walk, std::size_t i) const;
    // Checks that the dictionary yields exactly the listed entries, as listed.
    void check_unchanged(PyObject* dictionary, const RowWalk& walk) const;
    std::uint32_t column_of(PyObject* key, std::size_t position);
    // A new column for a key of the batch's first row, all of whose keys are exact str.
    std::uint32_t new_column(PyObject* key);
    // Indexes the columns of the first row, made by new_column, for the rows after it.
    void index_first_row();
    void remember(std::size_t position, PyObject* key, std::uint32_t column);
    void keep_last_cell_per_column();

    profiler::ColumnBatch batch_;  // its parts come from the pipeline, at the end
    bool finished_ = false;        // batch_.parts came from the pipeline
    profiler::FoldPipeline pipeline_;
    std::size_t row_begin_ = 0;  // where the row being read starts in pipeline_.cells()
    KeyInterner interner_;
    std::vector<PyRef> pool_;  // one reference per key object that the interner relies on
    std::vector<Guess> by_position_;
    std::vector<std::size_t> last_in_row_;  // per batch column: its last cell in the row
    bool unindexed_ = false;                // the first row's columns are not indexed yet
    std::vector<Entry> entries_;            // the row being read; borrowed references
    std::vector<PyRef> held_keys_;          // the listed keys, while hooks may run
    Utf8Scratch utf8_;                      // for non-ASCII text values
};

// The raw cell of one value by the value rules (None; integers through __index__;
// reals through __float__, NaN as null; str as its text; everything else null). Failed
// attempts' exceptions are dropped when they are an Exception; any other (a
// PanicException, KeyboardInterrupt, SystemExit, ...) ends the call. A text goes through
// `sink` (keyed now, or copied into its chunk); a non-ASCII one is encoded in `scratch`.
profiler::RawCell convert_value(std::uint32_t column, PyObject* value, profiler::FoldPipeline& sink,
                                Utf8Scratch& scratch);

// Whether the value rules read this value by its type alone, running no Python code: None,
// the exact int, float, str and bool, and the exact containers (null without trying their
// hooks). These are the types the reader converts before any hook may run.
bool reads_without_python(PyObject* value);

// Throws TypeError "'{type}' object cannot be converted to '{target}'", the type being
// the __qualname__ of object's type or "<failed to extract type name>".
[[noreturn]] void throw_cannot_convert(PyObject* object, const char* target);

// The __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_name(PyObject* object);

}  // namespace binding
