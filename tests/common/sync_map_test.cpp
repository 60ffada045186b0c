#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/sync_map.h"

namespace {

// A snapshot is shared while the map is unchanged; every change hands out a
// fresh one, and a copy already handed out never changes.
TEST(SyncMapTest, SnapshotIsSharedUntilTheNextChange)
{
    SyncMap<std::string, int> map;
    map.set("a", 1);
    const auto first = map.snapshot();
    EXPECT_EQ(map.snapshot(), first);
    SyncMap<std::string, int> other;
    other.set("c", 3);
    const std::function<void()> changes[] = {[&] { map.set("b", 2); }, [&] { map.erase("b"); },
                                             [&] { map.clear(); }, [&] { map = other; }};
    auto previous = first;
    for (const auto& change : changes) {
        change();
        const auto next = map.snapshot();
        EXPECT_NE(next, previous);
        EXPECT_EQ(*next, map.getAll());
        previous = next;
    }
    EXPECT_EQ(*first, (std::map<std::string, int>{{"a", 1}}));
    // Assignment copies rather than shares; self-assignment neither
    // deadlocks nor clears.
    other.set("c", 4);
    EXPECT_EQ(map.getAll(), (std::map<std::string, int>{{"c", 3}}));
    auto& self = map;
    map = self;
    EXPECT_EQ(map.getAll().size(), 1u);
}

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
