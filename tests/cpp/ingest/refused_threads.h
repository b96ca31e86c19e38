// RefusedThreads: while it lives, the system (as the engine layers see it through
// thread_start.h) starts the first `allowed` threads asked for and refuses every later one
// with EAGAIN, as a machine out of threads does.
#pragma once

#include <atomic>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "ingest/thread_start.h"

namespace ingest::testing {

class RefusedThreads {
  public:
    explicit RefusedThreads(int allowed) {
        allowed_.store(allowed);
        refused_.store(0);
        thread_starter.store(&start);
    }
    ~RefusedThreads() { thread_starter.store(&start_system_thread); }
    RefusedThreads(const RefusedThreads&) = delete;
    RefusedThreads& operator=(const RefusedThreads&) = delete;

    // How many starts were refused so far.
    int refused() const { return refused_.load(); }

  private:
    static std::thread start(std::function<void()> body) {
        if (allowed_.fetch_sub(1) <= 0) {
            refused_.fetch_add(1);
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "refused for the test");
        }
        return start_system_thread(std::move(body));
    }

    static inline std::atomic<int> allowed_{0};
    static inline std::atomic<int> refused_{0};
};

}  // namespace ingest::testing
