#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/sync_map.h"

namespace {

TEST(SyncMapTest, GetSetEraseGetAllClear)
{
    SyncMap<std::string, unsigned long> map;
    EXPECT_TRUE(map.getAll().empty());

    unsigned long value = 42;
    EXPECT_EQ(map.get("/a", value), -1);
    EXPECT_EQ(value, 42u);

    map.set("/a", 1);
    map.set("/b", 2);
    map.set("/a", 3);
    EXPECT_EQ(map.get("/a", value), 0);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(map.getAll(), (std::map<std::string, unsigned long>{{"/a", 3}, {"/b", 2}}));

    map.erase("/absent");
    map.erase("/b");
    EXPECT_EQ(map.getAll(), (std::map<std::string, unsigned long>{{"/a", 3}}));

    map.clear();
    EXPECT_TRUE(map.getAll().empty());
}

// Values need not be default-constructible.
struct Record {
    explicit Record(std::string n) : name(std::move(n)) {}
    std::string name;
};

TEST(SyncMapTest, AssignmentCopiesAndSelfAssignmentKeepsContent)
{
    SyncMap<std::string, Record> a;
    SyncMap<std::string, Record> b;
    a.set("k", Record("ext4"));
    b.set("old", Record("tmpfs"));
    b = a;
    Record out("none");
    EXPECT_EQ(b.get("old", out), -1);
    EXPECT_EQ(b.get("k", out), 0);
    EXPECT_EQ(out.name, "ext4");

    a.set("k", Record("xfs"));
    EXPECT_EQ(b.get("k", out), 0);
    EXPECT_EQ(out.name, "ext4") << "assignment must copy, not share";

    auto& self = a;
    a = self;
    EXPECT_EQ(a.getAll().size(), 1u);
}

// Two threads assign two maps to each other over and over: without the
// joint lock this deadlocks (ctest's time limit) or races (TSan build).
TEST(SyncMapTest, CrossAssignmentFromTwoThreadsFinishes)
{
    SyncMap<std::string, int> a;
    SyncMap<std::string, int> b;
    for (int i = 0; i < 50; ++i) {
        a.set("a" + std::to_string(i), i);
        b.set("b" + std::to_string(i), i);
    }
    std::thread t1([&]() {
        for (int i = 0; i < 2000; ++i) {
            a = b;
        }
    });
    std::thread t2([&]() {
        for (int i = 0; i < 2000; ++i) {
            b = a;
        }
    });
    t1.join();
    t2.join();
    EXPECT_EQ(a.getAll().size(), 50u);
    EXPECT_EQ(b.getAll().size(), 50u);
}

TEST(SyncMapTest, ConcurrentWritersAndReaders)
{
    SyncMap<std::string, unsigned long> map;
    constexpr int kThreads = 8;
    constexpr int kKeys = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&map, t]() {
            for (int i = 0; i < kKeys; ++i) {
                const std::string key = "/t" + std::to_string(t) + "/" + std::to_string(i);
                map.set(key, static_cast<unsigned long>(i));
                unsigned long value = 0;
                EXPECT_EQ(map.get(key, value), 0);
                EXPECT_EQ(value, static_cast<unsigned long>(i));
                if (i % 2 == 1) {
                    map.erase(key);
                }
                if (i % 100 == 0) {
                    (void)map.getAll();
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(map.getAll().size(), static_cast<size_t>(kThreads * kKeys / 2));
}

}  // namespace

namespace {

TEST(SyncMapTest, SnapshotIsSharedUntilTheNextChange)
{
    SyncMap<std::string, int> map;
    map.set("a", 1);
    const auto first = map.snapshot();
    EXPECT_EQ(*first, (std::map<std::string, int>{{"a", 1}}));
    EXPECT_EQ(map.snapshot(), first) << "an unchanged map hands out the same copy";

    const std::function<void()> changes[] = {
        [&] { map.set("b", 2); },
        [&] { map.erase("b"); },
        [&] { map.clear(); },
        [&] {
            SyncMap<std::string, int> other;
            other.set("c", 3);
            map = other;
        },
    };
    auto previous = map.snapshot();
    for (const auto& change : changes) {
        change();
        const auto next = map.snapshot();
        EXPECT_NE(next, previous);
        EXPECT_EQ(*next, map.getAll());
        previous = next;
    }
    EXPECT_EQ(*first, (std::map<std::string, int>{{"a", 1}})) << "a copy handed out never changes";
}

}  // namespace
