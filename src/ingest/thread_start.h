// start_thread: how the readers' threads start; ingest::Worker (worker.h) is its one
// caller, so every fold, parse or lent thread starts here.
//
// A thread that the system refuses (std::system_error, such as EAGAIN on a busy machine)
// is a limit of the moment, not a fault: every caller goes on with the threads it has,
// down to the calling thread alone, and gives the same result.
//
// The starter is a replaceable function pointer so that a test can make the system refuse;
// the product never replaces it. Replace it only while no other thread starts threads.
//
// Thread safety: start_thread may be called from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace ingest {

using ThreadStarter = std::thread (*)(std::function<void()> body);

// Starts a thread that runs `body`; throws std::system_error when the system refuses.
std::thread start_system_thread(std::function<void()> body);

// The starter in use: start_system_thread, save in tests.
inline std::atomic<ThreadStarter> thread_starter{start_system_thread};

inline std::thread start_thread(std::function<void()> body) {
    return thread_starter.load(std::memory_order_relaxed)(std::move(body));
}

}  // namespace ingest
