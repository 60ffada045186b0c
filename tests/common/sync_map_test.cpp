#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/sync_map.h"

// Two threads assign two maps to each other while others take snapshots: a
// lock fault deadlocks (ctest's time limit) or races (TSan).
TEST(SyncMapTest, ConcurrentUseAndCrossAssignment)
{
    SyncMap<std::string, int> a;
    SyncMap<std::string, int> b;
    for (int i = 0; i < 50; ++i) {
        a.set("a" + std::to_string(i), i);
        b.set("b" + std::to_string(i), i);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t]() {
            for (int i = 0; i < 2000; ++i) {
                if (t == 0) {
                    a = b;
                } else if (t == 1) {
                    b = a;
                } else if (i < 500) {
                    EXPECT_EQ((i % 2 ? a : b).snapshot()->size(), 50u);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(a.getAll().size() + b.getAll().size(), 100u);
}

// A value built from the tables is shared until a map changes; a value not
// kept is freed once unused.
TEST(SyncMapTest, BuiltPerChangeIsRebuiltOnlyAfterAChange)
{
    SyncMap<std::string, int> map;
    int builds = 0;
    const auto build = [&] { return ++builds; };
    BuiltPerChange<int> kept;
    const auto first = kept.get(&map, build);
    EXPECT_EQ(first, kept.get(&map, build));
    map.set("a", 1);
    EXPECT_EQ(2, *kept.get(&map, build));
    BuiltPerChange<int> unkept(false);
    EXPECT_EQ(3, *unkept.get(&map, build));
    EXPECT_EQ(4, *unkept.get(&map, build));
}
