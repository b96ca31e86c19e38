// The row walk: Python dictionaries turned into the engine's column batch.
//
// A BatchBuilder serves one observe_dict / observe_dicts call. extract_row reads one
// dictionary through its own storage (PyDict_Next; the methods of a subclass are never
// called) into one raw cell per entry (ingest/raw_cell.h): the key's batch column and
// the value typed by the value rules (pykit/value_rules.h: Null, Int, Float or Str); a
// Str is carried by its sketch key, made under the engine's value keys, or by a copy of
// its text for a second thread to key. At the row's end the row goes to the builder's
// fold pipeline (ingest/fold_pipeline.h), which folds it into its columns' parts (counts,
// bounds, sketch keys) on this thread or, in a large call, hands it to a worker that never
// sees a Python object. Nothing reaches the engine until the whole input is converted (finish),
// so a failed call ingests nothing.
//
// Owns: the hook-safe walk over one dictionary (the listing, the checked walk, the
// snapshot checks), the guesses of a key's column by position, and the batch's names.
// Must not know: which value makes which cell (pykit/value_rules.h), how text is
// encoded (pykit/utf8_scratch.h) or how key texts are tabled (pykit/key_interner.h).
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

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pykit/key_interner.h"
#include "pykit/py_ref.h"
#include "pykit/utf8_scratch.h"
#include "profiler/column_batch.h"
#include "ingest/fold_pipeline.h"
#include "profiler/typed_value.h"

namespace pykit {

class BatchBuilder {
  public:
    // Cells are keyed under `keys` (the engine's), and folded as `options` say (by default
    // on the calling thread alone); reserves room for as many columns as the call is
    // expected to name.
    explicit BatchBuilder(const profiler::ValueKeys& keys, std::size_t expected_columns = 0,
                          ingest::FoldOptions options = {});

    // Appends the cells of one dictionary (a dict or subclass), which the caller holds a
    // reference to for the call (hooks may drop every other), and returns how many entries
    // it read. Throws TypeError for a key that is not a str, UnicodeEncodeError for a key
    // that is not valid text, a Panic when the dictionary's keys change while it is read,
    // and the exception of a hook that asks to stop (one that is not an Exception).
    std::size_t extract_row(PyObject* dictionary);
    // extract_row of each dictionary in turn, whose rows are then folded together: with
    // whole rows (FoldOptions::whole_rows), all of them or, if one fails, none.
    std::size_t extract_rows(std::span<PyObject* const> dictionaries);

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

    // Appends one dictionary's cells to pipeline_.cells(); returns the entries read.
    std::size_t read_row(PyObject* dictionary);
    void extract_exact_entries(PyObject* dictionary, RowWalk& walk);
    void extract_entries_checked(PyObject* dictionary, const RowWalk& walk);
    // The value now at listed entry i, after checking that the entry is still there.
    PyObject* fetch_again(PyObject* dictionary, const RowWalk& walk, std::size_t i) const;
    // Checks that the dictionary yields exactly the listed entries, as listed.
    void check_unchanged(PyObject* dictionary, const RowWalk& walk) const;
    // The column of the key at `position` of the row: inline when the key object is the
    // one the previous rows had there (the usual case, a hit per cell in rows that a JSON
    // loader made), else column_of_lookup.
    std::uint32_t column_of(PyObject* key, std::size_t position) {
        if (!unindexed_ && position < by_position_.size() && by_position_[position].key == key) {
            return by_position_[position].column;
        }
        return column_of_lookup(key, position);
    }
    std::uint32_t column_of_lookup(PyObject* key, std::size_t position);
    // A new column for a key of the batch's first row, all of whose keys are exact str.
    std::uint32_t new_column(PyObject* key);
    // Indexes the columns of the first row, made by new_column, for the rows after it.
    void index_first_row();
    void remember(std::size_t position, PyObject* key, std::uint32_t column);
    void keep_last_cell_per_column();

    profiler::ColumnBatch batch_;  // its parts come from the pipeline, at the end
    bool finished_ = false;        // batch_.parts came from the pipeline
    ingest::FoldPipeline pipeline_;
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

}  // namespace pykit
