// Path-identifier pairs as the kernel receives them: the bytes written to
// id_pairs, split into messages and checked field by field.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <string>
#include <vector>

#include "common/paths.h"
#include "restore/pathid_sync.h"
#include "store/vetu_restore_init.h"
#include "support/id_pairs_stub.h"

namespace {

using Records = std::vector<std::pair<uint64_t, uint64_t>>;

std::vector<IdPairsMessage> writtenMessages()
{
    std::vector<IdPairsMessage> messages;
    std::string error;
    EXPECT_TRUE(id_pairs_stub::parse(id_pairs_stub::bytes(), messages, &error)) << error;
    return messages;
}

// Each message's header as "op/idType/count": 16 bytes plus 16 per record;
// op 3 clears, 1 adds.
std::vector<std::string> headers(const std::vector<IdPairsMessage>& messages)
{
    std::vector<std::string> out;
    for (const IdPairsMessage& msg : messages) {
        EXPECT_EQ(msg.totalLen, 16 + 16 * msg.count);
        out.push_back(std::to_string(msg.op) + "/" + std::to_string(msg.idType) + "/" + std::to_string(msg.count));
    }
    return out;
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

    ASSERT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), 0);

    const auto messages = writtenMessages();
    ASSERT_EQ(headers(messages), (std::vector<std::string>{"3/1/0", "1/1/5", "3/2/0", "1/2/2"}));
    EXPECT_EQ(messages[1].records, (Records{{0x10, 0}, {0x11, 0x10}, {0x12, 0x11}, {0x13, 0}, {0x15, 0}}));
    // "/" finds itself as its own nearest policy: no parent.
    EXPECT_EQ(messages[3].records, (Records{{0x20, 0}, {0x21, 0x20}}));
}

// 8191 records fill one 131072-byte message, the 8192nd needs a second one;
// up to 100000 pairs are sent, over the limit nothing of that type follows
// its clear and the oid table is not touched.
TEST(PathidSyncTest, MessageAndPairLimits)
{
    const std::pair<size_t, std::vector<std::string>> cases[] = {
        {8191, {"3/1/0", "1/1/8191", "3/2/0"}},
        {8192, {"3/1/0", "1/1/8191", "1/1/1", "3/2/0"}},
        {100000, {"3/1/0", "1/1/8191", "1/1/8191", "1/1/8191", "1/1/8191", "1/1/8191", "1/1/8191", "1/1/8191",
                  "1/1/8191", "1/1/8191", "1/1/8191", "1/1/8191", "1/1/8191", "1/1/1708", "3/2/0"}},
        {100001, {"3/1/0"}},
    };
    for (const auto& [total, expected] : cases) {
        SCOPED_TRACE(total);
        for (size_t i = 1; i <= total; ++i) {  // /p itself has none
            VetuRestoreInit::getInstance().identityDataDirSpathid.set("/p/" + std::to_string(i), i);
        }
        id_pairs_stub::create();
        ASSERT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), total > 100000 ? -1 : 0);
        const auto messages = writtenMessages();
        ASSERT_EQ(headers(messages), expected);
        for (size_t i = 1; i + 1 < messages.size(); ++i) {
            EXPECT_EQ(messages[i].records.front().first, 1 + 8191 * (i - 1));
        }
    }
}

// Refused writes, a file too small for a whole add message, and a missing
// file (tried four times) all give -1.
TEST(PathidSyncTest, WriteFailuresGiveMinusOne)
{
    EXPECT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), -1);
    id_pairs_stub::failWrites();
    EXPECT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), -1);
    umount2(paths::kIdPairs, MNT_DETACH);
    id_pairs_stub::limitSize(4096);
    for (size_t i = 0; i < 300; ++i) {
        VetuRestoreInit::getInstance().identityDataDirOpathid.set("/b/" + std::to_string(i), i + 2);
    }
    EXPECT_EQ(syncPathidToKernel(VetuRestoreInit::getInstance()), -1);
}
