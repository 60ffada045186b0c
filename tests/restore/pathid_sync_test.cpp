// Path-identifier pairs as the kernel receives them: the bytes written to
// id_pairs, split into messages and checked field by field.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/paths.h"
#include "restore/pathid_sync.h"
#include "store/vetu_restore_init.h"
#include "support/id_pairs_stub.h"
#include "support/log_capture.h"

namespace {

using Records = std::vector<std::pair<uint64_t, uint64_t>>;

std::vector<IdPairsMessage> writtenMessages()
{
    std::vector<IdPairsMessage> messages;
    std::string error;
    EXPECT_TRUE(id_pairs_stub::parse(id_pairs_stub::bytes(), messages, &error)) << error;
    return messages;
}

void expectClear(const IdPairsMessage& msg, uint32_t idType)
{
    EXPECT_EQ(msg.totalLen, 16u);
    EXPECT_EQ(msg.count, 0u);
    EXPECT_EQ(msg.op, 3u);
    EXPECT_EQ(msg.idType, idType);
}

void expectAdd(const IdPairsMessage& msg, uint32_t idType, size_t count)
{
    EXPECT_EQ(msg.totalLen, 16 + 16 * count);
    EXPECT_EQ(msg.count, count);
    EXPECT_EQ(msg.op, 1u);
    EXPECT_EQ(msg.idType, idType);
}

// count sid directory policies /p/<i> with path ids 1..count; /p has none.
void addSidPolicies(size_t count)
{
    auto& store = VetuRestoreInit::getInstance();
    for (size_t i = 1; i <= count; ++i) {
        store.identityDataDirSpathid.set("/p/" + std::to_string(i), i);
    }
}

}  // namespace

// No policies: exactly the two 16-byte clears, bytes as the kernel reads them.
TEST(PathidSyncTest, WithoutPoliciesOnlyBothTablesAreCleared)
{
    id_pairs_stub::create();
    ASSERT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), 0);
    const unsigned char expected[32] = {0x10, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0,
                                        0x10, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(id_pairs_stub::bytes(), std::string(reinterpret_cast<const char*>(expected), sizeof(expected)));
}

// Each pair links a directory to its nearest ancestor with a policy of the
// same type; a path in both the exact and the wildcard map sends the
// wildcard's identifier; the oid table is built from the oid maps only.
TEST(PathidSyncTest, PairsLinkDirectoriesToTheirNearestPolicyAncestor)
{
    auto& store = VetuRestoreInit::getInstance();
    store.identityDataDirSpathid.set("/usr", 0x10);
    store.identityDataDirSpathid.set("/usr/lib", 0x11);
    store.identityDataDirSpathid.set("/usr/lib/deep/er", 0x12);
    store.identityDataDirSpathid.set("/opt/x", 0x13);
    store.identityDataDirSpathid.set("/srv/both", 0x14);
    store.identityDataDirWSpathid.set("/srv/both", 0x15);
    store.identityDataDirSpathid.set("nopath", 0x16);
    store.identityDataDirOpathid.set("/usr/lib", 0x21);
    store.identityDataDirOpathid.set("/", 0x20);
    id_pairs_stub::create();
    LogCapture log;

    ASSERT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), 0);

    const auto messages = writtenMessages();
    ASSERT_EQ(messages.size(), 4u);
    expectClear(messages[0], 1);
    expectAdd(messages[1], 1, 5);
    EXPECT_EQ(messages[1].records, (Records{{0x10, 0}, {0x11, 0x10}, {0x12, 0x11}, {0x13, 0}, {0x15, 0}}));
    expectClear(messages[2], 2);
    expectAdd(messages[3], 2, 2);
    // "/" finds itself as its own nearest policy: no parent.
    EXPECT_EQ(messages[3].records, (Records{{0x20, 0}, {0x21, 0x20}}));
    EXPECT_TRUE(log.has("path contain no /, skip it, path : nopath", "WARN")) << log.dump();
    EXPECT_TRUE(log.has("path_id type : sid, current path : /usr/lib, current pathid : 0x0000000000000011, parrent "
                        "path : /usr, parent pathdi : 0x0000000000000010",
                        "INFO"))
        << log.dump();
}

// 8191 records fill one 131072-byte message; the 8192nd needs a second one.
TEST(PathidSyncTest, AddMessagesHoldAtMost8191Records)
{
    for (size_t total : {8191u, 8192u}) {
        SCOPED_TRACE(total);
        addSidPolicies(total);
        id_pairs_stub::create();
        ASSERT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), 0);
        const auto messages = writtenMessages();
        ASSERT_EQ(messages.size(), total == 8191 ? 3u : 4u);
        expectClear(messages[0], 1);
        expectAdd(messages[1], 1, 8191);
        EXPECT_EQ(messages[1].totalLen, 131072u);
        EXPECT_EQ(messages[1].records.front(), (std::pair<uint64_t, uint64_t>{1, 0}));
        EXPECT_EQ(messages[1].records.back(), (std::pair<uint64_t, uint64_t>{8191, 0}));
        if (total == 8192) {
            expectAdd(messages[2], 1, 1);
            EXPECT_EQ(messages[2].records, (Records{{8192, 0}}));
        }
        expectClear(messages.back(), 2);
    }
}

// Up to 100000 pairs are sent; over the limit nothing of that type follows
// its clear, and the oid table is not touched.
TEST(PathidSyncTest, AtMostHundredThousandPairs)
{
    addSidPolicies(100000);
    id_pairs_stub::create();
    ASSERT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), 0);
    auto messages = writtenMessages();
    ASSERT_EQ(messages.size(), 1u + 13u + 1u);
    size_t sent = 0;
    for (size_t i = 1; i <= 13; ++i) {
        sent += messages[i].count;
    }
    EXPECT_EQ(sent, 100000u);

    addSidPolicies(100001);
    id_pairs_stub::create();
    LogCapture log;
    EXPECT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), -1);
    messages = writtenMessages();
    ASSERT_EQ(messages.size(), 1u);
    expectClear(messages[0], 1);
    EXPECT_TRUE(log.has("Too many pathid pairs to write to kernel, totalPairCount: 100001, maxPairCount: 100000",
                        "ERROR"));
    EXPECT_TRUE(log.has("write sid pathid data error.", "ERROR"));
}

TEST(PathidSyncTest, WriteFailuresGiveMinusOne)
{
    {
        id_pairs_stub::failWrites();
        LogCapture log;
        EXPECT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), -1);
        EXPECT_TRUE(log.has("write sid pathid clear message error.", "ERROR")) << log.dump();
    }
    {
        // Room for the clear, not for a whole add message.
        umount2(paths::kIdPairs, MNT_DETACH);
        id_pairs_stub::limitSize(4096);
        VetuRestoreInit::getInstance().identityDataDirOpathid.set("/a", 1);
        for (size_t i = 0; i < 300; ++i) {
            VetuRestoreInit::getInstance().identityDataDirOpathid.set("/b/" + std::to_string(i), i + 2);
        }
        LogCapture log;
        EXPECT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), -1);
        EXPECT_TRUE(log.has("Failed to write buffer to file", "ERROR")) << log.dump();
        EXPECT_TRUE(log.has("write oid pathid data error.", "ERROR")) << log.dump();
    }
}

// A missing file is tried four times, a second apart.
TEST(PathidSyncTest, MissingFileIsRetriedThenReported)
{
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), -1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
    const std::string path = paths::kIdPairs;
    std::vector<std::string> seen;
    for (const auto& line : log.lines()) {
        seen.push_back(line.level + " " + stripLogPrefix(line.message));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"INFO retry 2, " + path, "INFO retry 1, " + path,
                                              "INFO retry 0, " + path, "ERROR can not open file " + path}));
}
