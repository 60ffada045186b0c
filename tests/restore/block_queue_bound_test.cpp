#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "restore/block_queue.h"

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(10);
constexpr auto kBlockedFor = std::chrono::milliseconds(100);

}  // namespace

// A full queue holds its producer back until consumers make room; every
// item arrives once and in order, the last one, pushed singly after the
// batches as a run's "/dev" is, included.
TEST(BlockQueueBoundTest, FullQueueHoldsTheProducerAndLosesNothing)
{
    BlockQueue<std::string> queue;
    queue.setCapacity(4);
    auto producer = std::async(std::launch::async, [&] {
        for (int b = 0; b < 50; ++b) {
            std::vector<std::string> batch;
            for (int i = 0; i < 3; ++i) {
                batch.push_back(std::to_string(b * 3 + i));
            }
            queue.pushBatch(batch);
        }
        queue.push("/dev");
        queue.setFinished();
    });
    ASSERT_EQ(producer.wait_for(kBlockedFor), std::future_status::timeout) << "producer was not held back";
    std::vector<std::string> got;
    std::vector<std::string> out;
    while (queue.popBatch(out, 2)) {
        got.insert(got.end(), out.begin(), out.end());
    }
    ASSERT_EQ(producer.wait_for(kWaitLimit), std::future_status::ready);
    ASSERT_EQ(got.size(), 151u);
    for (int i = 0; i < 150; ++i) {
        EXPECT_EQ(got[i], std::to_string(i));
    }
    EXPECT_EQ(got.back(), "/dev");
}

// Lifting the bound releases a producer that waits, so a walk that must run
// before any consumer starts can still finish.
TEST(BlockQueueBoundTest, LiftingTheBoundReleasesAWaitingProducer)
{
    BlockQueue<int> queue;
    queue.setCapacity(1);
    auto producer = std::async(std::launch::async, [&] {
        queue.push(1);
        queue.push(2);
    });
    ASSERT_EQ(producer.wait_for(kBlockedFor), std::future_status::timeout);
    queue.setCapacity(0);
    ASSERT_EQ(producer.wait_for(kWaitLimit), std::future_status::ready);
}
