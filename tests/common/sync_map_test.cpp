#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/sync_map.h"

namespace {

// Two threads assign two maps to each other while others take snapshots: a lock fault deadlocks (ctest's time limit) or races (TSan).
TEST(SyncMapTest, ConcurrentUseAndCrossAssignment)
{
    SyncMap<std::string, int> a;
    SyncMap<std::string, int> b;
    for (int i = 0; i < 50; ++i) {
        a.set("a" + std::to_string(i), i);
        b.set("b" + std::to_string(i), i);
    }
    std::vector<std::thread> threads;
    threads.emplace_back([&]() {
        for (int i = 0; i < 2000; ++i) {
            a = b;
        }
    });
    threads.emplace_back([&]() {
        for (int i = 0; i < 2000; ++i) {
            b = a;
        }
    });
    // Readers of both while they swap.
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&]() {
            for (int i = 0; i < 500; ++i) {
                EXPECT_EQ((i % 2 ? a : b).snapshot()->size(), 50u);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(a.getAll().size(), 50u);
    EXPECT_EQ(b.getAll().size(), 50u);
}

}  // namespace
