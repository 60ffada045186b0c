#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
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

TEST(ThPoolTest, AddAfterStopThrowsAndQueuedTasksBreakTheirPromise)
{
    auto pool = std::make_unique<ThPool>(1);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> running;
    auto first = pool->add([released, &running]() {
        running.set_value();
        released.wait_for(kLimit);
        return 1;
    });
    ASSERT_EQ(running.get_future().wait_for(kLimit), std::future_status::ready);
    std::atomic<bool> queuedRan{false};
    auto queued = pool->add([&queuedRan]() { queuedRan = true; });

    std::thread stopper([&pool]() { pool->stop(); });
    // The stop flag is set once add refuses; only then let the busy worker go.
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    std::string refusal;
    while (refusal.empty() && std::chrono::steady_clock::now() < deadline) {
        try {
            pool->add([]() {});
            std::this_thread::yield();
        } catch (const std::runtime_error& e) {
            refusal = e.what();
        }
    }
    EXPECT_EQ(refusal, "thread pool has stopped");
    release.set_value();
    stopper.join();
    EXPECT_EQ(first.get(), 1);

    try {
        pool->add([]() { return 0; });
        ADD_FAILURE() << "add on a stopped pool did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "thread pool has stopped");
    }

    pool.reset();
    EXPECT_FALSE(queuedRan);
    try {
        queued.get();
        ADD_FAILURE() << "an unrun task's future did not break";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
}

TEST(ThPoolTest, TaskExceptionReachesFutureAndWorkerGoesOn)
{
    ThPool pool(1);
    auto failing = pool.add([]() -> int { throw std::invalid_argument("bad input"); });
    auto next = pool.add([](const std::string& text, int n) { return text + std::to_string(n); }, "x", 7);
    EXPECT_THROW(
        {
            try {
                failing.get();
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), "bad input");
                throw;
            }
        },
        std::invalid_argument);
    EXPECT_EQ(next.get(), "x7");
}

struct Owner {
    unsigned long combine(const std::string& path, unsigned long a, unsigned long b, bool flag)
    {
        return path.size() + a + b + (flag ? 1000 : 0);
    }
};

// Arguments are copied into the task, so the caller's may go away at once.
TEST(ThPoolTest, MemberCallableWithCopiedArguments)
{
    ThPool pool(2);
    Owner owner;
    std::future<unsigned long> result;
    {
        std::string path = "/usr/bin/ls";
        result = pool.add(&Owner::combine, &owner, path, 1ul, 2ul, true);
    }
    EXPECT_EQ(result.get(), 11u + 1 + 2 + 1000);
}

TEST(ThPoolTest, IdlePoolStopsAndStopIsIdempotent)
{
    ThPool pool(4);
    pool.stop();
    pool.stop();
    EXPECT_THROW(pool.add([]() {}), std::runtime_error);
}

}  // namespace
