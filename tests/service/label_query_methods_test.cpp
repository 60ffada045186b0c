// Label queries, restores and the full relabel over the bus: a label wins over
// the store; without one, the store's identity with the nearest policy
// directory's path id and the wildcard package id, computed here.
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <thread>

#include "restore/vetu_restore_context.h"
#include "service/labelmgr_bus_fixture.h"
#include "support/bus_client.h"
#include "support/expected_label.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

namespace {

const std::string kNotSafe = "!org.freedesktop.DBus.Error.InvalidArgs: filepath is not safe";

std::string str(const std::string& text) { return "\"" + text + "\""; }

std::string triple(ExpectedId id)
{
    return "{\"file_id\":" + std::to_string(id.file) + ",\"path_id\":" + std::to_string(id.path) +
           ",\"pkg_id\":" + std::to_string(id.pkg) + "}";
}

void setLabel(const std::string& path, const std::string& value)
{
    ASSERT_EQ(lsetxattr(path.c_str(), "security.vetu", value.data(), value.size(), 0), 0) << path;
}

TEST_F(LabelMgrBusTest, QueriesAndRestoresAnswerTheLabelOrTheStoreAndNeverReadPastAFullValue)
{
    TempTree t;
    const std::string dir = t.dir("d"), labelled = t.file("d/l"), plain = t.file("d/p"), missing = t.path("d/m");
    const std::string link = t.symlink("d/k", labelled), ro = t.dir("ro");
    setLabel(labelled, labelText({1, 2, 3}, 0x33, {4, 5, 6}, 3));
    store.identityDataFileOid.set(labelled, {9, 9, 9});
    store.identityDataDirOpathid.set(dir, 0xd0);
    store.identityDataDirSpathid.set(dir, 0xd5);
    store.identityDataFileWildcardOid.set(t.path("d/m*"), {0xaa, 1, 1});
    store.identityDataFileWildcardSid.set(t.path("d/m*"), {0xbb, 1, 1});
    store.identityDataUserConfigTid.set(missing, 0x44);
    store.insertPkgidToMap("pk", 1);
    store.insertFileOfPkgToMap(plain, "pk", 1);
    // A value the restore cannot overwrite: 256 bytes without a NUL, and one byte more.
    ASSERT_TRUE(sandbox::mountTmpfs(ro));
    const std::string full = t.file("ro/full"), over = t.file("ro/over");
    setLabel(full, std::string(256, 'x'));
    setLabel(over, std::string(257, 'x'));
    ASSERT_EQ(mount("none", ro.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    start();
    const uint64_t pk = sm3Last64("pk"), fileId = sm3Last64(plain);
    const struct {
        const char* method;
        std::string path;
        std::string reply;  // "=" + path: what is on that path afterwards
    } rows[] = {
        {"getFileOid", labelled, triple({4, 5, 6})},         {"getFileSid", labelled, triple({1, 2, 3})},
        {"getFileTid", labelled, "51"},                      {"getFileInheritFlag", labelled, "3"},
        {"getFileOid", plain, triple({pk, fileId, 0xd0})},   {"getFileSid", plain, triple({pk, fileId, 0xd5})},
        {"getFileTid", plain, "0"},                          {"getFileInheritFlag", plain, "7"},
        {"getFileOid", missing, triple({0xaa, 0, 0xd0})},    {"getFileSid", missing, triple({0xbb, 0, 0xd5})},
        {"getFileTid", missing, "68"},                       {"getFileInheritFlag", missing, "7"},
        {"getFileOid", link, kNotSafe},                      {"getFileTid", "rel", kNotSafe},
        {"restoreSingleFileLabel", plain, "=" + plain},      {"restoreSingleFileInitLabel", dir, "=" + dir},
        {"restoreSingleFileLabel", link, "=" + labelled},    {"restoreSingleFileLabel", missing, str("")},
        {"restoreSingleFileLabel", full, str(std::string(256, 'x'))},
        {"restoreSingleFileInitLabel", over, str("")},       {"restoreSingleFileLabel", "a//b", kNotSafe},
    };
    for (const auto& row : rows) {
        const std::string reply = BusClient().call(row.method, {argString(row.path)});
        const bool onFile = row.reply[0] == '=';
        const std::string expected = onFile ? str(readXattr(row.reply.substr(1))) : row.reply;
        EXPECT_EQ(reply, expected) << row.method << " " << row.path;
        EXPECT_TRUE(!onFile || reply.size() > 100) << row.method << " " << row.path;
    }
    EXPECT_EQ(readXattr(link), "");
    umount2(ro.c_str(), MNT_DETACH);
}

TEST_F(LabelMgrBusTest, FullRelabelKeepsItsExclusionsAndLimitsAndRefusesToOverlapAnotherRun)
{
    ASSERT_TRUE(sandbox::mountPrivateDev());
    TempTree t;
    const std::string kept = t.file("a/f"), skipped = t.file("x7/f"), other = t.dir("other");
    std::vector<std::string> excluded;
    for (int i = 0; i < 50; ++i) {
        excluded.push_back(t.path("x" + std::to_string(i)));
    }
    std::vector<std::string> tooMany = excluded;
    tooMany.push_back(t.path("y"));
    start();
    // The process-wide store is not ready yet, so this run holds the context.
    LogCapture log;
    std::thread first([&] { VetuRestoreContext::getInstance().setLabelToDirRecursive(other, {}); });
    for (int i = 0; i < 500 && log.countContaining("hardware_concurrency") == 0; ++i) {
        usleep(10000);
    }
    EXPECT_EQ(BusClient().call("addTagFullSystem", {argString(t.root()), argStrings({})}), "-1");
    VetuRestoreInit::getInstance().m_isInitialized = true;
    first.join();
    EXPECT_EQ(readXattr(kept), "");

    const std::string invalid = "!org.freedesktop.DBus.Error.InvalidArgs: ";
    const struct {
        std::string root;
        std::vector<std::string> excluded;
        std::string reply;
    } rows[] = {
        {t.root(), excluded, "0"},
        {t.root(), tooMany, invalid + "excludedDir size too large"},
        {t.root(), {"rel"}, invalid + "excludedDir is not safe"},
        {"/a/../b", {}, invalid + "path is not safe"},
        {t.path("none"), {}, "-1"},
        {kept, {}, "-1"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BusClient().call("addTagFullSystem", {argString(row.root), argStrings(row.excluded)}, 20000),
                  row.reply)
            << row.root;
    }
    EXPECT_NE(readXattr(kept), "");
    EXPECT_EQ(readXattr(skipped), "");
}

}  // namespace
