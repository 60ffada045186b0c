#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

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

}  // namespace
