#include "ingest/fold_pipeline.h"

#include <limits>
#include <utility>

#include "profiler/cpu_budget.h"

namespace ingest {

namespace {

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

std::size_t start_at(const FoldOptions& options) {
    switch (options.threads) {
        case 0:
            return FoldPipeline::kStartAfterCells;
        case 1:
            return kNever;
        default:
            return 0;
    }
}

}  // namespace

FoldPipeline::FoldPipeline(const ValueKeys& keys, FoldOptions options)
    : keys_(keys), options_(options), start_at_(start_at(options)) {}

FoldPipeline::~FoldPipeline() = default;

void FoldPipeline::fold_here(std::size_t rows) {
    if (options_.whole_rows) {
        row_folder_.fold(filling_->cells, filling_->text, keys_, parts_, rows);
    } else {
        fold_cells(filling_->cells, filling_->text, keys_, parts_);
    }
    produced_ += filling_->cells.size();
    filling_->clear();
    if (produced_ >= start_at_) {
        start_at_ = kNever;
        if (options_.threads >= 2 || profiler::usable_processors() >= 2) {
            worker_.start();  // refused: the calling thread folds alone
        }
    }
}

// The worker holds at most kRing - 1 chunks, so the next one in the ring is free.
void FoldPipeline::hand_over() {
    worker_.run([this, chunk = filling_] { fold(*chunk); });
    filling_index_ = (filling_index_ + 1) % kRing;
    filling_ = &ring_[filling_index_];
}

std::vector<ColumnPart> FoldPipeline::finish(std::size_t columns) {
    if (worker_.live()) {
        if (!filling_->cells.empty()) {
            hand_over();
        }
    } else {
        fold_here();
    }
    worker_.finish();  // also raises a failure from before a fork
    if (parts_.size() < columns) {
        resize_parts(parts_, columns, keys_);
    }
    return std::move(parts_);
}

void FoldPipeline::start(std::function<void()> task) {
    worker_.run(std::move(task));
}

void FoldPipeline::wait() {
    worker_.withdraw();
}

void FoldPipeline::fold(CellChunk& chunk) {
    fold_cells(chunk.cells, chunk.text, keys_, parts_);
    chunk.clear();
    // A row wider than a chunk grows it; the ring keeps no such chunk beyond its use.
    if (chunk.cells.capacity() > 4 * options_.chunk_cells) {
        std::vector<RawCell>().swap(chunk.cells);
    }
    if (chunk.text.capacity() > 4 * kChunkTextBytes) {
        chunk.text.release();
    }
}

}  // namespace ingest
