#include "ingest/fold_pipeline.h"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "profiler/cpu_budget.h"
#include "ingest/thread_start.h"

namespace profiler {

namespace {

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// The pipelines with a live worker whose reader is this thread, innermost first (a hook
// may run a nested call, whose pipeline then lives within one step of the outer one).
thread_local FoldPipeline* live_pipelines = nullptr;

// Blocks every signal on the calling thread while it lives, so that a thread started
// meanwhile inherits a full mask: signals are then delivered to the interpreter's threads,
// never to a worker.
class AllSignalsBlocked {
  public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

  private:
    sigset_t saved_;
};

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

// What the reader and the worker share. Chunk i of the ring (counting hand-overs from 0)
// is ring_[i % kRing]. The reader fills chunk `handed` while handed - folded < kRing. A
// chunk handed over is claimed, folded and cleared by one thread, chunk after chunk: a
// claim is taken only while no fold is under way (claimed == folded), so the parts see one
// folder at a time, in order. The worker claims; the reader claims too, instead of
// waiting, when it finds the ring full or must drain it and the worker has not yet taken
// the next chunk (on a busy machine the worker may wait long for a CPU).
struct FoldPipeline::Worker {
    std::mutex mutex;
    std::condition_variable work_ready;  // the worker waits for a chunk, a task or the stop
    std::condition_variable chunk_done;  // the reader waits for a fold or a task to end
    std::uint64_t handed = 0;            // chunks handed over
    std::uint64_t claimed = 0;           // of those, taken to be folded
    std::uint64_t folded = 0;            // of those, folded and cleared
    std::function<void()> task;          // lent work, not yet begun
    bool task_running = false;           // from start until the task has ended or is withdrawn
    bool stop = false;
    std::exception_ptr failure;  // set once; the worker has then returned
    std::thread thread;

    bool can_claim() const { return claimed == folded && claimed < handed; }
    bool has_work() const { return stop || task != nullptr || can_claim(); }
    bool idle() const { return (folded == handed && !task_running) || failure != nullptr; }
};

FoldPipeline::FoldPipeline(const ValueKeys& keys, FoldOptions options)
    : keys_(keys), options_(options), start_at_(start_at(options)) {}

FoldPipeline::~FoldPipeline() {
    stop_and_join();
}

void FoldPipeline::fold_here() {
    if (options_.whole_rows) {
        row_folder_.fold(filling_->cells, filling_->text, keys_, parts_);
    } else {
        fold_cells(filling_->cells, filling_->text, keys_, parts_);
    }
    produced_ += filling_->cells.size();
    filling_->clear();
    if (produced_ >= start_at_) {
        start_at_ = kNever;
        if (options_.threads >= 2 || usable_processors() >= 2) {
            start_worker();
        }
    }
}

void FoldPipeline::start_worker() {
    if (!register_fork_handlers()) {
        return;  // a fork during the call could hang the child: the calling thread folds alone
    }
    auto worker = std::make_unique<Worker>();
    try {
        AllSignalsBlocked blocked;
        worker->thread = start_thread([this, state = worker.get()] { work(*state); });
    } catch (const std::system_error&) {
        return;  // the system has no thread to give: the calling thread folds alone
    }
    worker_ = std::move(worker);
    outer_ = live_pipelines;
    live_pipelines = this;
}

void FoldPipeline::hand_over() {
    Worker& worker = *worker_;
    std::unique_lock<std::mutex> lock(worker.mutex);
    ++worker.handed;
    worker.work_ready.notify_one();
    fold_until(lock, [&] { return worker.handed - worker.folded < kRing; });
    filling_ = &ring_[worker.handed % kRing];
}

template <class Done>
void FoldPipeline::fold_until(std::unique_lock<std::mutex>& lock, Done&& done) {
    Worker& worker = *worker_;
    while (!done() && worker.failure == nullptr) {
        if (!worker.can_claim()) {
            worker.chunk_done.wait(lock);
            continue;
        }
        ++worker.claimed;
        CellChunk& chunk = ring_[worker.folded % kRing];
        lock.unlock();
        fold(chunk);
        lock.lock();
        ++worker.folded;
        worker.work_ready.notify_one();
    }
    if (worker.failure != nullptr) {
        std::rethrow_exception(worker.failure);
    }
}

std::vector<ColumnPart> FoldPipeline::finish(std::size_t columns) {
    if (worker_ != nullptr) {
        if (!filling_->cells.empty()) {
            hand_over();
        }
        drain();
    } else {
        fold_here();
    }
    if (orphaned_failure_ != nullptr) {
        std::rethrow_exception(orphaned_failure_);
    }
    if (parts_.size() < columns) {
        resize_parts(parts_, columns, keys_);
    }
    return std::move(parts_);
}

void FoldPipeline::drain() {
    Worker& worker = *worker_;
    std::unique_lock<std::mutex> lock(worker.mutex);
    fold_until(lock, [&] { return worker.idle(); });
}

void FoldPipeline::start(std::function<void()> task) {
    Worker& worker = *worker_;
    {
        std::lock_guard<std::mutex> lock(worker.mutex);
        worker.task = std::move(task);
        worker.task_running = true;
    }
    worker.work_ready.notify_one();
}

void FoldPipeline::wait() {
    Worker& worker = *worker_;
    std::unique_lock<std::mutex> lock(worker.mutex);
    if (worker.task != nullptr) {  // not begun: withdrawn
        worker.task = nullptr;
        worker.task_running = false;
        return;
    }
    worker.chunk_done.wait(lock, [&] { return worker.idle(); });
    if (worker.failure != nullptr) {
        std::rethrow_exception(worker.failure);
    }
}

void FoldPipeline::stop_and_join() noexcept {
    if (worker_ == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->stop = true;
    }
    worker_->work_ready.notify_one();
    worker_->thread.join();
    worker_.reset();
    unlink();
}

void FoldPipeline::unlink() noexcept {
    for (FoldPipeline** link = &live_pipelines; *link != nullptr; link = &(*link)->outer_) {
        if (*link == this) {
            *link = outer_;
            return;
        }
    }
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

void FoldPipeline::work(Worker& worker) noexcept {
    try {
        for (;;) {
            CellChunk* chunk = nullptr;
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(worker.mutex);
                worker.work_ready.wait(lock, [&] { return worker.has_work(); });
                if (worker.stop) {
                    return;
                }
                if (worker.task != nullptr) {
                    task = std::exchange(worker.task, nullptr);
                } else {
                    ++worker.claimed;
                    chunk = &ring_[worker.folded % kRing];
                }
            }
            if (task != nullptr) {
                task();
            } else {
                fold(*chunk);
            }
            {
                std::lock_guard<std::mutex> lock(worker.mutex);
                if (task != nullptr) {
                    worker.task_running = false;
                } else {
                    ++worker.folded;
                }
            }
            worker.chunk_done.notify_one();
        }
    } catch (...) {
        std::lock_guard<std::mutex> lock(worker.mutex);
        worker.failure = std::current_exception();
        worker.chunk_done.notify_one();
    }
}

// ---- fork

bool FoldPipeline::register_fork_handlers() {
    static const bool registered =
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    return registered;
}

void FoldPipeline::before_fork() noexcept {
    for (FoldPipeline* pipeline = live_pipelines; pipeline != nullptr;
         pipeline = pipeline->outer_) {
        Worker& worker = *pipeline->worker_;
        std::unique_lock<std::mutex> lock(worker.mutex);
        worker.chunk_done.wait(lock, [&] { return worker.idle(); });
        lock.release();  // held through the fork; after_fork_in_parent unlocks it
    }
}

void FoldPipeline::after_fork_in_parent() noexcept {
    for (FoldPipeline* pipeline = live_pipelines; pipeline != nullptr;
         pipeline = pipeline->outer_) {
        pipeline->worker_->mutex.unlock();
    }
}

void FoldPipeline::after_fork_in_child() noexcept {
    FoldPipeline* pipeline = live_pipelines;
    live_pipelines = nullptr;
    while (pipeline != nullptr) {
        Worker* absent = pipeline->worker_.release();  // leaked on purpose, see the header
        pipeline->orphaned_failure_ = absent->failure;
        pipeline = std::exchange(pipeline->outer_, nullptr);
    }
}

}  // namespace profiler
