#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/thread_pool.h"

// Every one of n tasks waits until all n have started: only a pool that
// really runs n at once lets them all report true.
TEST(ThPoolTest, RunsAsManyTasksAtOnceAsItHasWorkers)
{
    const int n = ThPool::defaultSize();
    ThPool pool(n);
    std::mutex mutex;
    std::condition_variable cv;
    int started = 0;
    std::vector<std::future<bool>> results;
    for (int i = 0; i < n; ++i) {
        results.push_back(pool.add([&]() {
            std::unique_lock<std::mutex> lock(mutex);
            ++started;
            cv.notify_all();
            return cv.wait_for(lock, std::chrono::seconds(10), [&]() { return started == n; });
        }));
    }
    for (auto& result : results) {
        EXPECT_TRUE(result.get());
    }
}

// A task's exception reaches its future and the worker serves on; a stop
// drops what is still queued, and every later add throws.
TEST(ThPoolTest, FailuresReachTheCaller)
{
    ThPool pool(1);
    auto failed = pool.add([]() -> int { throw std::logic_error("task failed"); });
    EXPECT_THROW(failed.get(), std::logic_error);
    std::promise<void> started, release;
    auto running = pool.add([&started, &release]() {
        started.set_value();
        release.get_future().wait();
    });
    started.get_future().wait();  // a stop before it would leave it queued
    std::atomic<bool> ran{false};
    pool.add([&ran]() { ran = true; });
    std::thread stopper([&pool]() { pool.stop(); });
    bool stopped = false;
    for (int i = 0; i < 1000 && !stopped; ++i) {
        try {
            pool.add([]() {});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "thread pool has stopped");
            stopped = true;
        }
    }
    release.set_value();
    stopper.join();
    EXPECT_TRUE(stopped);
    running.get();
    EXPECT_FALSE(ran);
}
