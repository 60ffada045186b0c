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
    pool->stop();  // a second stop is harmless
    EXPECT_THROW(pool->add([]() { return 0; }), std::runtime_error);

    pool.reset();
    EXPECT_FALSE(queuedRan);
    try {
        queued.get();
        ADD_FAILURE() << "an unrun task's future did not break";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
}

struct Owner {
    size_t combine(const std::string& path, size_t n) { return path.size() + n; }
};

// A task's exception reaches its future and the worker goes on; arguments
// are copied into the task, so the caller's may go away at once.
TEST(ThPoolTest, TaskExceptionReachesFutureAndArgumentsAreCopied)
{
    ThPool pool(1);
    Owner owner;
    auto failing = pool.add([]() -> int { throw std::invalid_argument("bad input"); });
    std::future<size_t> member;
    {
        std::string path = "/usr/bin/ls";
        member = pool.add(&Owner::combine, &owner, path, 1ul);
    }
    try {
        failing.get();
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "bad input");
    }
    EXPECT_EQ(member.get(), 12u);
}

}  // namespace
