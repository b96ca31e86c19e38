// Rows of small calls, converted at once and applied to the engine in batches.
//
// A streaming caller hands a profile one dictionary per observe_dict call, or a few per
// observe_dicts call of a small list (up to kCallRows elements). Applied call by call,
// each call would pay, per column, a lookup of its name in the column map and one update
// of the column's record (its counters, its bounds and a sketch insertion under the
// column's mutex), and would build and free a batch of its own. A RowBuffer
// instead keeps one batch builder across calls: each row is converted when its call is
// made (so every error is raised by the call that causes it, and a failed call ingests
// nothing), and its cells wait in the builder, folded per column, until the builder holds
// kBufferedCells cells (the next call then applies them first) or the profile is read.
// Then the whole batch is applied in one engine call, which costs what one observe_dicts
// call over the same rows costs.
//
// Nothing observable changes. Applying the buffered rows in one batch gives what applying
// them row by row gives (the engine's batch rule): the same counts, the same bounds (of
// equal extremes the first stays), the same sketch insertions in the same order, and the
// same column creation order, which is the order in which the rows first name the columns.
// For that to hold, the buffer must be applied before anything else reads or writes the
// engine. So a RowBuffer is reached only through the NativeProfile that owns it with its
// engine (pykit/native_profile.h): its members are private to that class, and an
// EngineCall, which applies the buffer first, is made by that class alone.
//
// Only rows that run no Python code while they are read are buffered: every key an exact
// str, every value of an exact built-in type whose reading runs no hook (plain_row). Any
// other row, and every row that arrives while another call holds the engine (an inner
// call from a value's hook, or a call on another thread while a JSON Lines reader works
// without the GIL), takes the direct path: the buffer is applied, and the row goes to the
// engine on its own as it always did. So a call that may run Python code never has rows
// of its own waiting in the buffer, and an inner call made from one of its hooks is
// applied before it, as without the buffer; and a flush made from a hook still leaves the
// outer call's row to the fresh profile.
//
// All or nothing, for every call: a call that raises adds nothing, and the rows of every
// call that returned are applied, exactly once. A call's rows are all read before any is
// folded, then folded together, whole or not at all (FoldOptions::whole_rows), so a call
// that fails while its rows are buffered leaves no cell behind. The buffered rows are applied before the row of a call that finds them due, so
// that if the engine refuses them (MemoryError: the engine then applies nothing), that
// call fails having added nothing; they stay, and are offered again by the next call or
// read. A buffer that was offered to the engine, or in which a row failed, is sealed: no
// later row joins it, since a failed row may have named columns without cells, which
// later rows would otherwise find in the wrong place of the creation order.
//
// Invariants: while a call holds the engine (in_use_ > 0) the buffer is empty and nothing
// is added to it.
// The builder holds a reference to each key object it names, so the buffer keeps at most
// one batch's key objects alive; applying it releases them.
//
// Thread safety: used with the GIL held only; the engine itself is safe for concurrent
// callers.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>

#include "pykit/arguments.h"
#include "pykit/py_ref.h"
#include "pykit/row_walk.h"
#include "profiler/engine.h"

namespace pykit {

// Only a NativeProfile (its owner) and the EngineCalls it makes use a buffer: every member
// but construction is theirs alone.
class RowBuffer {
  public:
    RowBuffer() = default;
    RowBuffer(const RowBuffer&) = delete;
    RowBuffer& operator=(const RowBuffer&) = delete;

  private:
    friend class NativeProfile;
    friend class EngineCall;

    // How many cells wait at most before they are applied. Applying pays per column (a
    // name lookup, the record's atomics and sketch mutex), and a column's sketch takes a
    // long run of keys much faster than short ones (repeated values are hashed once per
    // run), so even rows of a few hundred columns should bring a few hundred rows to a
    // batch; the buffer then holds at most about half a megabyte of sketch keys.
    static constexpr std::size_t kBufferedCells = 65536;

    // The most rows an observe_dicts call may bring to the buffer; a larger call costs
    // little more per row than a buffered one, and may fold on a second thread.
    static constexpr std::size_t kCallRows = 64;

    // Converts and buffers one dictionary for `engine` (the one that owns this buffer),
    // and returns true; or returns false, having changed nothing, when the row must take
    // the direct path. Throws as the row reader does, or as apply when the buffered rows
    // are due; a call that throws ingests nothing of its row.
    bool take(const profiler::KarvoEngine& engine, PyObject* dictionary);
    // The same for the dictionaries of a list (or subclass) of at most kCallRows elements,
    // others skipped, all buffered or none; false also for a list without a dictionary.
    bool take_list(const profiler::KarvoEngine& engine, PyObject* list);
    // The same for `rows`, dictionaries that the caller holds.
    bool take_rows(const profiler::KarvoEngine& engine, std::span<PyObject* const> rows);
    // Applies every buffered row to `engine` and empties the buffer; when the engine
    // throws, nothing was applied and the rows stay buffered, sealed.
    void apply(const profiler::KarvoEngine& engine);
    void drop();

    std::optional<BatchBuilder> builder_;  // absent while nothing is buffered
    std::size_t cells_ = 0;                // cells in builder_
    unsigned in_use_ = 0;                  // calls holding the engine, see EngineCall
    bool filling_ = false;                 // a row is being read into builder_
    bool sealed_ = false;                  // no row may join builder_; apply it first
};

// A profile's engine, held by one call for its whole length: made with the buffered rows
// applied, and marking the buffer in use until the call ends, so that rows that arrive
// meanwhile go straight to the engine after the call's own earlier work. Only
// NativeProfile::call makes one.
class EngineCall {
  public:
    ~EngineCall() { --rows_.in_use_; }
    EngineCall(const EngineCall&) = delete;
    EngineCall& operator=(const EngineCall&) = delete;

    const profiler::KarvoEngine& operator*() const { return *engine_; }
    const profiler::KarvoEngine* operator->() const { return engine_.get(); }

  private:
    friend class NativeProfile;

    EngineCall(std::shared_ptr<const profiler::KarvoEngine> engine, RowBuffer& rows);

    std::shared_ptr<const profiler::KarvoEngine> engine_;
    RowBuffer& rows_;
};

}  // namespace pykit
