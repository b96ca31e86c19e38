#include "ingest/worker.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ingest/thread_start.h"

namespace ingest {

namespace {

// The live workers started by this thread, innermost first (a hook may run a nested call,
// whose worker then lives within the outer one's lifetime).
thread_local Worker* live_workers = nullptr;

// Blocks every signal on the calling thread while it lives, so that a thread started
// meanwhile inherits a full mask.
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

}  // namespace

// What the caller and the thread share, under `mutex`. Task n (from 1) waits in
// tasks[(n - 1) % limit] until it begins. Tasks given, begun and ended are counted:
// ended <= begun <= given, begun - ended <= 1 (one task at a time), given - ended <=
// limit. A withdrawn or dropped task is an empty function, which ends as it begins.
struct Worker::Shared {
    explicit Shared(std::size_t limit) : tasks(limit) {}

    bool can_begin() const { return begun == ended && begun < given; }
    bool idle() const { return ended == given; }
    Task take() { return std::exchange(tasks[begun++ % tasks.size()], nullptr); }
    // Keeps the first failure; the tasks not begun will never run.
    void fail(std::exception_ptr caught) {
        if (failure == nullptr) {
            failure = std::move(caught);
        }
        for (std::uint64_t n = begun; n < given; ++n) {
            tasks[n % tasks.size()] = nullptr;
        }
        begun = ended = given;
    }
    // Runs tasks that the thread has not begun, or waits, until done() holds; rethrows a
    // failure. Called and returns with the lock held.
    template <class Done>
    void help_until(std::unique_lock<std::mutex>& lock, Done&& done);
    void run_next(std::unique_lock<std::mutex>& lock);
    void work() noexcept;

    std::mutex mutex;
    std::condition_variable work_ready;  // the thread waits for a task or the stop
    std::condition_variable task_ended;  // the caller waits for a task to end
    std::vector<Task> tasks;
    std::uint64_t given = 0;
    std::uint64_t begun = 0;
    std::uint64_t ended = 0;
    bool stop = false;
    std::exception_ptr failure;
    std::thread thread;
};

// Runs the next task outside the lock (its captures are destroyed there too) and counts
// it ended; a failure is kept as the worker's first. Called and returns with lock held.
void Worker::Shared::run_next(std::unique_lock<std::mutex>& lock) {
    Task task = take();
    lock.unlock();
    std::exception_ptr caught;
    try {
        if (task) {
            task();
        }
    } catch (...) {
        caught = std::current_exception();
    }
    task = nullptr;
    lock.lock();
    ++ended;
    if (caught != nullptr) {
        fail(std::move(caught));
    }
}

template <class Done>
void Worker::Shared::help_until(std::unique_lock<std::mutex>& lock, Done&& done) {
    while (!done() && failure == nullptr) {
        if (!can_begin()) {
            task_ended.wait(lock);
            continue;
        }
        run_next(lock);
        work_ready.notify_one();
    }
    if (failure != nullptr) {
        std::rethrow_exception(failure);
    }
}

void Worker::Shared::work() noexcept {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        work_ready.wait(lock, [this] { return stop || can_begin(); });
        if (stop) {
            return;
        }
        run_next(lock);
        task_ended.notify_one();
    }
}

Worker::Worker(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

Worker::~Worker() {
    stop_and_join();
}

bool Worker::start() {
    if (shared_ != nullptr || !register_fork_handlers()) {
        return shared_ != nullptr;
    }
    auto shared = std::make_unique<Shared>(limit_);
    shared->given = shared->begun = shared->ended = given_;
    shared->failure = failure_;
    try {
        AllSignalsBlocked blocked;
        shared->thread = start_thread([state = shared.get()] { state->work(); });
    } catch (const std::system_error&) {
        return false;  // the system has no thread to give: tasks run on the caller
    }
    shared_ = std::move(shared);
    outer_ = live_workers;
    live_workers = this;
    return true;
}

void Worker::run_here(Task& task) {
    if (failure_ != nullptr) {
        std::rethrow_exception(failure_);
    }
    try {
        task();
    } catch (...) {
        failure_ = std::current_exception();
        throw;
    }
}

std::uint64_t Worker::run(Task task) {
    if (shared_ == nullptr) {
        run_here(task);
        return ++given_;
    }
    Shared& shared = *shared_;
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.help_until(lock, [&] { return shared.given - shared.ended < limit_; });
    shared.tasks[shared.given % limit_] = std::move(task);
    given_ = ++shared.given;
    shared.work_ready.notify_one();
    return given_;
}

void Worker::wait_for(std::uint64_t number) {
    if (shared_ == nullptr) {
        if (failure_ != nullptr) {
            std::rethrow_exception(failure_);
        }
        return;
    }
    Shared& shared = *shared_;
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.help_until(lock, [&] { return shared.ended >= number; });
}

bool Worker::ended(std::uint64_t number) {
    if (shared_ == nullptr) {
        return true;
    }
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->ended >= number;
}

void Worker::finish() {
    wait_for(given_);
}

void Worker::withdraw() {
    if (shared_ != nullptr) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        for (std::uint64_t n = shared_->begun; n < shared_->given; ++n) {
            shared_->tasks[n % limit_] = nullptr;
        }
    }
    finish();
}

void Worker::stop_and_join() noexcept {
    if (shared_ == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
    }
    shared_->work_ready.notify_one();
    shared_->thread.join();
    shared_.reset();
    unlink();
}

void Worker::unlink() noexcept {
    for (Worker** link = &live_workers; *link != nullptr; link = &(*link)->outer_) {
        if (*link == this) {
            *link = outer_;
            return;
        }
    }
}

// ---- fork

bool Worker::register_fork_handlers() {
    static const bool registered =
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    return registered;
}

void Worker::before_fork() noexcept {
    for (Worker* worker = live_workers; worker != nullptr; worker = worker->outer_) {
        Shared& shared = *worker->shared_;
        std::unique_lock<std::mutex> lock(shared.mutex);
        shared.task_ended.wait(lock, [&] { return shared.idle(); });
        lock.release();  // held through the fork; after_fork_in_parent unlocks it
    }
}

void Worker::after_fork_in_parent() noexcept {
    for (Worker* worker = live_workers; worker != nullptr; worker = worker->outer_) {
        worker->shared_->mutex.unlock();
    }
}

void Worker::after_fork_in_child() noexcept {
    Worker* worker = live_workers;
    live_workers = nullptr;
    while (worker != nullptr) {
        Shared* absent = worker->shared_.release();  // leaked on purpose, see the header
        worker->failure_ = absent->failure;
        worker = std::exchange(worker->outer_, nullptr);
    }
}

}  // namespace ingest
