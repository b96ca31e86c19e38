// SecondThread: a thread that a call already has (its fold pipeline's worker,
// ingest/fold_pipeline.h), lent to the engine for one task at a time once the call's rows
// are all folded, so that applying a large batch can use two CPUs (KarvoEngine::process_columns).
//
// Thread safety: start and wait are called by the thread that owns the lender, in turn:
// start, then wait, before the next start. The task runs on the other thread; whatever it
// touches must be safe to touch from there while the caller runs its own share.
#pragma once

#include <functional>

namespace profiler {

class SecondThread {
  public:
    // Begins `task` on the other thread and returns.
    virtual void start(std::function<void()> task) = 0;
    // Ends the lending: a task that has not begun is withdrawn and never runs, one that has
    // begun is waited for; rethrows what it threw. So a task should take its work in
    // small shares from a counter it shares with the caller, who then loses nothing when
    // the other thread was slow to start.
    virtual void wait() = 0;

  protected:
    SecondThread() = default;
    ~SecondThread() = default;
    SecondThread(const SecondThread&) = default;
    SecondThread& operator=(const SecondThread&) = default;
};

}  // namespace profiler
