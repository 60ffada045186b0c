#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/thread_pool.h"

namespace {

constexpr auto kLimit = std::chrono::seconds(10);

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
            return cv.wait_for(lock, kLimit, [&]() { return started == n; });
        }));
    }
    for (auto& result : results) {
        EXPECT_TRUE(result.get());
    }
}

// A task's exception reaches its future and the worker goes on; arguments
// are copied into the task, so the caller's may go away at once.
TEST(ThPoolTest, TaskExceptionReachesFutureAndArgumentsAreCopied)
{
    ThPool pool(1);
    auto failing = pool.add([]() -> int { throw std::invalid_argument("bad input"); });
    std::future<size_t> copied;
    {
        std::string path = "/usr/bin/ls";
        copied = pool.add([](const std::string& p, size_t n) { return p.size() + n; }, path, 1ul);
    }
    EXPECT_THROW(failing.get(), std::invalid_argument);
    EXPECT_EQ(copied.get(), 12u);
}

}  // namespace
