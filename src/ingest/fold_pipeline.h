// FoldPipeline: where a row reader's raw cells (raw_cell.h) become the column parts of its
// batch, on the reading thread or, for a large call, on a second thread.
//
// The reader writes each row's raw cells into cells() (texts through text_cell) and calls
// end_row() once the row is complete; finish() returns the parts after the last row.
// Until a worker starts, end_row folds the row at once on the calling thread and clears it,
// so a small call allocates nothing beyond one row. A worker starts at the end of a row,
// when the options allow, once the call has produced enough cells to be worth a thread;
// from then on rows gather in the chunks of a small ring, each full chunk is handed to the
// worker, which keys its cells and folds them, and the reader fills the next free chunk.
// When the worker is a whole ring behind, the reader folds the next chunk itself if the
// worker has not taken it yet (a worker short of CPU then costs little), else waits.
// Transient memory thus stays within the ring (the parts hold at most one key per keyed
// cell either way).
//
// The parts do not depend on who folds: cells are folded in the order they were read,
// chunks in the order they were handed over, and keys come from the same functions.
//
// After finish the worker stays until the pipeline is destroyed, lent out as a SecondThread
// (profiler/second_thread.h) for the engine's share of the call; second_thread() is null
// when the call had no worker.
//
// The worker is an ingest::Worker (worker.h): a chunk handed over is a task, so chunks are
// folded one at a time in hand-over order, by the worker or, when the worker is a whole
// ring behind and has not begun the next one, by the reader. Its failure (bad_alloc) is
// rethrown on the calling thread by the next hand-over, by finish or by wait. Destroying
// the pipeline stops its worker after the chunk in hand and joins it; when the reader
// failed, the parts are dropped with it. No thread outlives its pipeline.
//
// Fork: the worker sees to it (worker.h). In a child forked by the reader's thread (a hook
// or signal handler), the pipeline folds on the calling thread as if no worker had
// started, which is right since every chunk handed over was folded before the fork.
//
// Thread safety: a pipeline belongs to the thread that made it; only its worker shares
// it, through the chunks handed over as its tasks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "profiler/column_batch.h"
#include "ingest/raw_cell.h"
#include "profiler/second_thread.h"
#include "ingest/worker.h"

namespace ingest {

using profiler::SecondThread;

struct FoldOptions {
    // 0: a worker once the call has produced kStartAfterCells cells, when the process may
    // use two CPUs; 1: the calling thread alone; 2 or more: a worker from the first row on.
    std::size_t threads = 1;
    // Cells per chunk handed to the worker (a chunk also goes when its text is long).
    std::size_t chunk_cells = 16384;
    // Each row is folded all or nothing (RowFolder), for a caller whose batch outlives a
    // failed row (the per-profile row buffer): a row that end_row fails to fold stays in
    // cells(), for the caller to drop, and the parts keep every earlier row whole. Meant
    // with threads = 1, where every row is folded by end_row.
    bool whole_rows = false;
};

class FoldPipeline final : public SecondThread {
  public:
    // The cells a call produces before it is worth a thread: a few milliseconds of work,
    // against tens of microseconds to start one.
    static constexpr std::size_t kStartAfterCells = std::size_t{1} << 15;
    // Texts up to this size are copied for the worker to key; longer ones are keyed by the
    // reader, where they already are in cache (copying them would cost nearly as much).
    static constexpr std::size_t kCopiedTextBytes = 256;

    FoldPipeline(const ValueKeys& keys, FoldOptions options);
    ~FoldPipeline();
    FoldPipeline(const FoldPipeline&) = delete;
    FoldPipeline& operator=(const FoldPipeline&) = delete;

    const ValueKeys& keys() const { return keys_; }
    // Where the row being read goes; stays the same vector until end_row.
    std::vector<RawCell>& cells() { return filling_->cells; }
    // The raw cell of a text: copied for the worker, or keyed now. An engine that keeps
    // summaries has every text copied, since the fold hands each part its texts.
    RawCell text_cell(std::uint32_t column, std::string_view utf8) {
        if (keys_.summaries || (worker_.live() && utf8.size() <= kCopiedTextBytes)) {
            return filling_->text_cell(column, utf8);
        }
        return keyed(str_cell(column, utf8, keys_));
    }
    // The row in cells() is complete (with whole_rows, cells() may hold `rows` rows, which
    // are then folded all or none). Throws a failure of the worker.
    void end_row(std::size_t rows = 1) {
        if (!worker_.live()) {
            fold_here(rows);
        } else if (is_full(*filling_)) {
            hand_over();
        }
    }
    // Every row has been read: all of them folded, the worker joined. Returns one part per
    // column of the batch (`columns` of them: a column may have no cells). Throws a
    // failure of the worker.
    std::vector<ColumnPart> finish(std::size_t columns);

    // The worker, after finish, to lend out; null when none started (or after a fork).
    SecondThread* second_thread() { return worker_.live() ? this : nullptr; }
    void start(std::function<void()> task) override;
    void wait() override;

  private:
    // Chunks in the ring: the one being filled, and the ones handed over and not folded.
    static constexpr std::size_t kRing = 4;
    static constexpr std::size_t kChunkTextBytes = std::size_t{1} << 17;

    bool is_full(const CellChunk& chunk) const {
        return chunk.cells.size() >= options_.chunk_cells || chunk.text.size() >= kChunkTextBytes;
    }
    // Folds the chunk being filled (of `rows` rows) on the calling thread; starts the
    // worker when due.
    void fold_here(std::size_t rows = 1);
    // Gives the chunk being filled to the worker and moves on to the next.
    void hand_over();
    void fold(CellChunk& chunk);

    const ValueKeys keys_;
    const FoldOptions options_;
    std::vector<ColumnPart> parts_;
    RowFolder row_folder_;  // with whole_rows
    std::array<CellChunk, kRing> ring_;
    std::size_t filling_index_ = 0;
    CellChunk* filling_ = &ring_[0];
    std::size_t produced_ = 0;  // cells folded here so far
    std::size_t start_at_;      // the produced_ at which a worker starts; -1: never
    // Declared last, so that it is joined before anything its tasks touch is destroyed.
    Worker worker_{kRing - 1};
};

}  // namespace ingest
