// The worker: its tasks run one at a time in the order given, on its thread or the
// caller's, with or without a thread; the first failure drops the rest and comes back on
// every later call; destroying it mid-queue joins; a child forked while it runs goes on
// without it.
#include "ingest/worker.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "refused_threads.h"

namespace ingest {
namespace {

// Appends each task's number to `order` from whichever thread runs it, without a lock:
// the tasks' own serial order is what makes that safe (TSan checks it).
struct OrderLog {
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};

    Worker::Task task(int number) {
        return [this, number] {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(number);
            running.fetch_sub(1);
        };
    }
};

struct Case {
    const char* name;
    std::size_t limit;
    bool thread;  // started
    int wait_every;  // the caller waits for the last task given every n tasks (0: never)
};

class WorkerOrder : public ::testing::TestWithParam<Case> {};

TEST_P(WorkerOrder, TasksRunOnceEachInTheOrderGiven) {
    const Case& c = GetParam();
    OrderLog log;
    {
        Worker worker(c.limit);
        if (c.thread) {
            ASSERT_TRUE(worker.start());
        }
        EXPECT_EQ(worker.live(), c.thread);
        for (int n = 1; n <= 3000; ++n) {
            const std::uint64_t number = worker.run(log.task(n));
            EXPECT_EQ(number, static_cast<std::uint64_t>(n));
            if (c.wait_every != 0 && n % c.wait_every == 0) {
                worker.wait_for(number);
                EXPECT_TRUE(worker.ended(number));
                EXPECT_EQ(log.order.size(), static_cast<std::size_t>(n));
            }
        }
        worker.finish();
        EXPECT_TRUE(worker.ended(3000));
    }
    EXPECT_FALSE(log.overlapped);
    ASSERT_EQ(log.order.size(), 3000u);
    for (int n = 1; n <= 3000; ++n) {
        ASSERT_EQ(log.order[static_cast<std::size_t>(n - 1)], n);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerOrder,
                         ::testing::Values(Case{"no_thread", 2, false, 0},
                                           Case{"limit_1", 1, true, 0},
                                           Case{"limit_3", 3, true, 0},
                                           Case{"limit_3_waits", 3, true, 7},
                                           Case{"limit_64_waits", 64, true, 100}),
                         [](const auto& info) { return std::string(info.param.name); });

// A machine out of threads: start says so, and the tasks run on the caller, in order.
TEST(Worker, RunsOnTheCallerWhenTheSystemRefusesItsThread) {
    testing::RefusedThreads refused(0);
    OrderLog log;
    Worker worker(2);
    EXPECT_FALSE(worker.start());
    EXPECT_FALSE(worker.live());
    EXPECT_EQ(refused.refused(), 1);
    for (int n = 1; n <= 5; ++n) {
        worker.run(log.task(n));
        EXPECT_EQ(log.order.size(), static_cast<std::size_t>(n)) << "run here, at once";
    }
    worker.finish();
}

// Task 3 fails: no later task runs, and every later call rethrows the same failure.
TEST(Worker, FirstFailureDropsTheRestAndComesBackEveryTime) {
    for (const bool thread : {false, true}) {
        SCOPED_TRACE(thread);
        std::atomic<int> ran{0};
        Worker worker(4);
        if (thread) {
            ASSERT_TRUE(worker.start());
        }
        int thrown = 0;
        for (int n = 1; n <= 50; ++n) {
            try {
                worker.run([&ran, n] {
                    if (n == 3) {
                        throw std::bad_alloc();
                    }
                    ran.fetch_add(1);
                });
            } catch (const std::bad_alloc&) {
                ++thrown;
            }
        }
        EXPECT_GE(thrown, 1);
        EXPECT_THROW(worker.finish(), std::bad_alloc);
        EXPECT_THROW(worker.withdraw(), std::bad_alloc);
        EXPECT_THROW(worker.wait_for(1), std::bad_alloc);
        EXPECT_EQ(ran.load(), 2) << "tasks 1 and 2 only";
    }
}

// Destroyed with tasks queued, as when its caller fails: it joins, and drops those not
// begun.
TEST(Worker, DestroyedMidQueueJoins) {
    for (std::size_t limit : {1u, 4u, 100u}) {
        std::atomic<int> ran{0};
        {
            Worker worker(limit);
            ASSERT_TRUE(worker.start());
            for (int n = 0; n < 200; ++n) {
                worker.run([&ran] { ran.fetch_add(1); });
            }
        }
        EXPECT_LE(ran.load(), 200);
    }
}

// Withdrawn tasks that had not begun never run; the rest ran once, in order.
TEST(Worker, WithdrawnTasksNeverRun) {
    for (int round = 0; round < 50; ++round) {
        OrderLog log;
        Worker worker(8);
        ASSERT_TRUE(worker.start());
        for (int n = 1; n <= 8; ++n) {
            worker.run(log.task(n));
        }
        worker.withdraw();
        const std::size_t ran = log.order.size();
        for (std::size_t i = 0; i < ran; ++i) {
            EXPECT_EQ(log.order[i], static_cast<int>(i + 1));
        }
        worker.run(log.task(9));
        worker.finish();
        EXPECT_EQ(log.order.size(), ran + 1);
        EXPECT_EQ(log.order.back(), 9);
    }
}

// The caller forks with tasks in flight on two nested workers: the parent's tasks all
// run, and the child, where no worker thread exists, runs its own tasks itself.
TEST(Worker, ChildForkedMidWorkRunsTasksItself) {
    std::atomic<int> parent_ran{0};
    Worker outer(4);
    Worker inner(2);
    ASSERT_TRUE(outer.start());
    ASSERT_TRUE(inner.start());
    for (int n = 0; n < 40; ++n) {
        (n % 2 == 0 ? outer : inner).run([&parent_ran] {
            std::this_thread::yield();
            parent_ran.fetch_add(1);
        });
    }
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // Every task given before the fork ended before it.
        int ok = parent_ran.load() == 40 && !outer.live() && !inner.live() ? 0 : 1;
        int ran = 0;
        outer.run([&ran] { ++ran; });
        inner.run([&ran] { ++ran; });
        outer.finish();
        inner.finish();
        _exit(ok == 0 && ran == 2 ? 0 : 1);
    }
    outer.finish();
    inner.finish();
    EXPECT_EQ(parent_ran.load(), 40);
    EXPECT_TRUE(outer.live());
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pid_t reaped = 0;
    while ((reaped = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (reaped == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child hung";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ingest
