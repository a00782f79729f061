#include "Platform/QtCore/WorkerPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

using tavrelin::qt::WorkerPool;
using namespace std::chrono_literals;

// Every task waits until the pool's three threads are busy at once: a pool that
// made fewer threads, or ran the tasks one after another, never gets there.
TEST(WorkerPool, RunsAsManyTasksAtOnceAsItHasThreadsAndQueuesTheRest) {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0, peak = 0, done = 0;
    WorkerPool pool("test", 3);
    for (int i = 0; i < 7; ++i)
        pool.start([&] {
            std::unique_lock<std::mutex> lock(mutex);
            peak = std::max(peak, ++running);
            changed.notify_all();
            changed.wait_for(lock, 30s, [&] { return peak >= 3; });
            --running;
            ++done;
        });
    ASSERT_TRUE(pool.waitForDone(std::chrono::steady_clock::now() + 60s));
    EXPECT_EQ(peak, 3);
    EXPECT_EQ(done, 7);

    // The threads now wait for work; a new task wakes one.
    pool.start([&] { done = 8; });
    ASSERT_TRUE(pool.waitForDone(std::chrono::steady_clock::now() + 60s));
    EXPECT_EQ(done, 8);
}

TEST(WorkerPool, EndingRunsWhatIsQueuedFirst) {
    std::atomic<int> ran{0};
    {
        WorkerPool pool("test", 1);
        for (int i = 0; i < 5; ++i)
            pool.start([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 5);
}
