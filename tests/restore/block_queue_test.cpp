#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "restore/block_queue.h"

constexpr auto kWaitLimit = std::chrono::seconds(10);

// What was queued before the finish is still handed out, in order and at
// most max at a time; only then does the queue report its end. Waking
// blocked consumers and reopening for a second run are shown by the relabel
// runs (TwoRunsInARowBothLabelEverything).
TEST(BlockQueueTest, FinishedQueueHandsOutWhatItHolds)
{
    BlockQueue<std::string> queue;
    queue.push("a");
    std::vector<std::string> batch{"b", "c", "d"};
    queue.pushBatch(batch);
    EXPECT_TRUE(batch.empty());
    queue.setFinished();
    EXPECT_FALSE(queue.isFinishedAndEmpty());
    EXPECT_EQ(queue.pop(), "a");
    std::vector<std::string> out;
    ASSERT_TRUE(queue.popBatch(out, 2));
    EXPECT_EQ(out, (std::vector<std::string>{"b", "c"}));
    ASSERT_TRUE(queue.popBatch(out, 8));
    EXPECT_EQ(out, (std::vector<std::string>{"d"}));
    EXPECT_TRUE(queue.isFinishedAndEmpty());
    EXPECT_THROW(queue.pop(), std::runtime_error);
    EXPECT_FALSE(queue.popBatch(out, 8));
}

// A full queue holds its producer back until a consumer makes room; every
// item arrives once and in order, the last one, pushed singly after the
// batches as a run's "/dev" is, included.
TEST(BlockQueueTest, FullQueueHoldsTheProducerAndLosesNothing)
{
    BlockQueue<std::string> queue;
    queue.setCapacity(4);
    auto producer = std::async(std::launch::async, [&] {
        for (int b = 0; b < 50; ++b) {
            std::vector<std::string> batch{std::to_string(2 * b), std::to_string(2 * b + 1)};
            queue.pushBatch(batch);
        }
        queue.push("/dev");
        queue.setFinished();
    });
    ASSERT_EQ(producer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
        expected.push_back(std::to_string(i));
    }
    expected.push_back("/dev");
    std::vector<std::string> got;
    for (std::vector<std::string> out; queue.popBatch(out, 3);) {
        got.insert(got.end(), out.begin(), out.end());
    }
    ASSERT_EQ(producer.wait_for(kWaitLimit), std::future_status::ready);
    EXPECT_EQ(got, expected);
}
