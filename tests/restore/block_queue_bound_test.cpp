#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "restore/block_queue.h"

// A full queue holds its producer back until consumers make room; every
// item arrives once and in order, the last one, pushed singly after the
// batches as a run's "/dev" is, included.
TEST(BlockQueueBoundTest, FullQueueHoldsTheProducerAndLosesNothing)
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
    std::vector<std::string> got;
    for (std::vector<std::string> out; queue.popBatch(out, 3);) {
        got.insert(got.end(), out.begin(), out.end());
    }
    ASSERT_EQ(producer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(got.size(), 101u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(got[i], std::to_string(i));
    }
    EXPECT_EQ(got.back(), "/dev");
}
