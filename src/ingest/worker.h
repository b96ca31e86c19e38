// Worker: one background thread that runs the tasks it is given, one at a time, in the
// order given. Every reader that works on a second thread does so through workers: the
// fold pipeline (one worker folding a call's rows) and the JSON Lines reader (one worker
// per parsing thread). A worker is made idle, started (start), given tasks (run), and
// finished (finish); destroying it stops its thread.
//
// Order: task n begins only once task n-1 has ended, so tasks never overlap, whichever
// thread runs them, and each sees what the earlier ones wrote. A caller that would wait
// for a task the thread has not yet begun (the thread may wait long for a CPU on a busy
// machine) runs that task itself instead; so a task must not care which thread runs it.
// Without a thread (never started, or refused), run runs each task at once on the caller.
//
// Bounds: at most `limit` tasks given and not ended; run first helps or waits until
// fewer are, so the work in flight stays within what the caller sized.
//
// Failure: nothing escapes a task on the thread. The first failure (bad_alloc, say) is
// kept; tasks given after it are dropped unrun; run, wait_for, finish and withdraw rethrow
// it on the caller, every time. A task that fails on the caller also throws from there.
//
// Signals: the thread starts with every signal blocked, so signals reach the
// interpreter's threads only.
//
// Fork: a hook or signal handler that runs on the thread that started a worker may fork
// while the worker is live. The child has no worker thread; it must not wait for one, nor
// use a lock or condition variable whose state the fork copied while the thread used it.
// Handlers registered once per process with pthread_atfork see to it, for the workers
// started by the thread that forks (a thread-local list):
//   - prepare (before the fork): wait until each such worker is idle (every task given has
//     ended) and keep its lock through the fork. Its thread then holds nothing, and all
//     its tasks wrote happened before the fork.
//   - parent: release those locks.
//   - child: orphan those workers. An orphaned worker runs tasks on the caller, as one
//     that never started; its thread's state (handle, lock, condition variables) is
//     leaked untouched, since joining an absent thread would hang and destroying a
//     condition variable that an absent thread waits on may hang too. A failure that
//     happened before the fork is still rethrown.
// A fork by any other thread copies a worker into a child where its caller does not
// exist, so nothing there uses it again. When the handlers cannot be registered, start
// refuses to start a thread.
//
// Thread safety: a worker belongs to the thread that made it (its caller): every method
// but the tasks themselves is called there. The tasks run on either thread, one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace ingest {

class Worker {
  public:
    using Task = std::function<void()>;

    // A worker with no thread yet, that holds at most `limit` (at least 1) unended tasks.
    explicit Worker(std::size_t limit);
    // Stops the thread after the task in hand and joins it; tasks not begun are dropped.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Starts the thread (ingest/thread_start.h). Returns false, with no thread, when the
    // system refuses one or the fork handlers cannot be registered: tasks then run on the
    // caller. Throws bad_alloc.
    bool start();
    // Whether a thread runs the tasks (false before start, after a refusal, in a child).
    bool live() const { return shared_ != nullptr; }

    // Gives a task; returns its number (the first is 1). Rethrows a failure.
    std::uint64_t run(Task task);
    // Sees tasks 1 .. `number` ended, running those not begun here. Rethrows a failure.
    void wait_for(std::uint64_t number);
    // Whether task `number` has ended (or was dropped); never waits.
    bool ended(std::uint64_t number);
    // Sees every task given ended. Rethrows a failure.
    void finish();
    // Drops the tasks not begun, waits for the one running. Rethrows a failure.
    void withdraw();

  private:
    struct Shared;

    void run_here(Task& task);
    void work() noexcept;
    void stop_and_join() noexcept;
    void unlink() noexcept;

    static bool register_fork_handlers();
    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;

    const std::size_t limit_;
    std::uint64_t given_ = 0;     // with no thread, every task given has ended
    std::exception_ptr failure_;  // with no thread; the thread's is in shared_
    std::unique_ptr<Shared> shared_;
    Worker* outer_ = nullptr;  // the next live worker started by this thread
};

}  // namespace ingest
