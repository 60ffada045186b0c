#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "restore/block_queue.h"

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(10);

}  // namespace

TEST(BlockQueueTest, PopThrowsOnlyWhenFinishedAndEmpty)
{
    BlockQueue<std::string> queue;
    queue.push("a");
    std::vector<std::string> batch{"b", "c"};
    queue.pushBatch(batch);
    EXPECT_TRUE(batch.empty());
    queue.setFinished();
    // What was queued before the finish is still handed out, in order.
    EXPECT_FALSE(queue.isFinishedAndEmpty());
    EXPECT_EQ(queue.pop(), "a");
    std::vector<std::string> out;
    ASSERT_TRUE(queue.popBatch(out, 8));
    EXPECT_EQ(out, (std::vector<std::string>{"b", "c"}));
    EXPECT_TRUE(queue.isFinishedAndEmpty());
    try {
        queue.pop();
        FAIL() << "pop on a finished, empty queue returned";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Queue is finished and empty");
    }
    EXPECT_FALSE(queue.popBatch(out, 8));
    EXPECT_TRUE(out.empty());
}

TEST(BlockQueueTest, PopBatchTakesAtMostMax)
{
    BlockQueue<int> queue;
    std::vector<int> items{1, 2, 3, 4, 5};
    queue.pushBatch(items);
    std::vector<int> out;
    ASSERT_TRUE(queue.popBatch(out, 2));
    EXPECT_EQ(out, (std::vector<int>{1, 2}));
    ASSERT_TRUE(queue.popBatch(out, 10));
    EXPECT_EQ(out, (std::vector<int>{3, 4, 5}));
    EXPECT_TRUE(queue.empty());
}

// A consumer blocked on an empty queue is released by the finish.
TEST(BlockQueueTest, SetFinishedWakesBlockedConsumers)
{
    BlockQueue<std::string> queue;
    auto blockedPop = std::async(std::launch::async, [&] {
        try {
            queue.pop();
            return false;
        } catch (const std::runtime_error&) {
            return true;
        }
    });
    auto blockedBatch = std::async(std::launch::async, [&] {
        std::vector<std::string> out;
        return queue.popBatch(out, 4);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.setFinished();
    ASSERT_EQ(blockedPop.wait_for(kWaitLimit), std::future_status::ready);
    ASSERT_EQ(blockedBatch.wait_for(kWaitLimit), std::future_status::ready);
    EXPECT_TRUE(blockedPop.get());
    EXPECT_FALSE(blockedBatch.get());
}

// After a reset the queue serves a second run: leftovers are gone and the
// consumers block again instead of leaving at once.
TEST(BlockQueueTest, ResetReopensForAnotherRun)
{
    BlockQueue<std::string> queue;
    queue.push("stale");
    queue.setFinished();
    queue.reset();
    EXPECT_TRUE(queue.empty());
    EXPECT_FALSE(queue.isFinishedAndEmpty());
    auto consumer = std::async(std::launch::async, [&] {
        std::vector<std::string> out;
        std::vector<std::string> all;
        while (queue.popBatch(out, 3)) {
            all.insert(all.end(), out.begin(), out.end());
        }
        return all;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(consumer.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
    queue.push("x");
    queue.push("y");
    queue.setFinished();
    ASSERT_EQ(consumer.wait_for(kWaitLimit), std::future_status::ready);
    EXPECT_EQ(consumer.get(), (std::vector<std::string>{"x", "y"}));
}

// Many consumers on batches: every item is taken exactly once.
TEST(BlockQueueTest, ConsumersShareEveryItemOnce)
{
    BlockQueue<int> queue;
    constexpr int kItems = 20000;
    constexpr int kConsumers = 6;
    std::vector<std::future<std::vector<int>>> consumers;
    for (int c = 0; c < kConsumers; ++c) {
        consumers.push_back(std::async(std::launch::async, [&queue, c] {
            std::vector<int> got;
            std::vector<int> out;
            while (queue.popBatch(out, static_cast<size_t>(1 + c * 7))) {
                got.insert(got.end(), out.begin(), out.end());
            }
            return got;
        }));
    }
    std::vector<int> batch;
    for (int i = 0; i < kItems; ++i) {
        if (i % 3 == 0) {
            queue.push(i);
        } else {
            batch.push_back(i);
            if (batch.size() == 50) {
                queue.pushBatch(batch);
            }
        }
    }
    queue.pushBatch(batch);
    queue.setFinished();
    std::vector<int> seen(kItems, 0);
    for (auto& consumer : consumers) {
        ASSERT_EQ(consumer.wait_for(kWaitLimit), std::future_status::ready);
        for (int item : consumer.get()) {
            ++seen[static_cast<size_t>(item)];
        }
    }
    for (int i = 0; i < kItems; ++i) {
        ASSERT_EQ(seen[static_cast<size_t>(i)], 1) << "item " << i;
    }
}
