// The label queries, restores, full relabel and package labelling over the bus.
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <thread>

#include "common/paths.h"
#include "restore/vetu_restore_context.h"
#include "service/labelmgr_bus_fixture.h"
#include "support/bus_client.h"
#include "support/expected_label.h"
#include "support/log_capture.h"
#include "support/run_process.h"
#include "support/sandbox.h"
#include "support/stub_program.h"
#include "support/temp_tree.h"

namespace {

TEST_F(LabelMgrBusTest, QueriesAndRestoresAnswerTheLabelOrTheStoreAndNeverReadPastAFullValue)
{
    TempTree t;
    const std::string dir = t.dir("d"), labelled = t.file("d/l"), plain = t.file("d/p"), missing = t.path("d/m");
    const std::string link = t.symlink("d/k", labelled), ro = t.dir("ro");
    store.identityDataFileOid.set(labelled, {9, 9, 9});
    store.identityDataDirOpathid.set(dir, 0xd0);
    store.identityDataDirSpathid.set(dir, 0xd5);
    store.identityDataFileWildcardOid.set(t.path("d/m*"), {0xaa, 1, 1});
    store.identityDataFileWildcardOid.set(t.path("d/m**"), {0xab, 1, 1});  // matches too, but sorts after
    store.identityDataFileWildcardSid.set(t.path("d/m*"), {0xbb, 1, 1});
    store.identityDataUserConfigTid.set(missing, 0x44);
    // Values the restore cannot overwrite: 256 bytes without a NUL, and one byte more.
    ASSERT_TRUE(sandbox::mountTmpfs(ro));
    const std::string full = t.file("ro/full"), over = t.file("ro/over"), x256(256, 'x');
    const std::string own = labelText({1, 2, 3}, 0x33, {4, 5, 6}, 3);
    for (const auto& [path, value] : {std::pair(labelled, own), {full, x256}, {over, x256 + "x"}}) {
        ASSERT_EQ(lsetxattr(path.c_str(), "security.vetu", value.data(), value.size(), 0), 0) << path;
    }
    ASSERT_EQ(mount("none", ro.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    start();
    const uint64_t id = sm3Last64(plain);
    const std::array<std::string, 3> rows[] = {  // a reply "=path": the label then on that path
        {"getFileOid", labelled, triple(4, 5, 6)},         {"getFileSid", labelled, triple(1, 2, 3)},
        {"getFileTid", labelled, "51"},                    {"getFileInheritFlag", labelled, "3"},
        {"getFileOid", plain, triple(0, id, 0xd0)},       {"getFileSid", plain, triple(0, id, 0xd5)},
        {"getFileTid", plain, "0"},                        {"getFileInheritFlag", plain, "7"},
        {"getFileOid", missing, triple(0xaa, 0, 0xd0)},    {"getFileSid", missing, triple(0xbb, 0, 0xd5)},
        {"getFileTid", missing, "68"},                     {"getFileOid", link, kInvalid + "filepath is not safe"},
        {"restoreSingleFileLabel", plain, "=" + plain},    {"restoreSingleFileInitLabel", dir, "=" + dir},
        {"restoreSingleFileLabel", link, "=" + labelled},  {"restoreSingleFileLabel", missing, "\"\""},
        {"restoreSingleFileLabel", full, "\"" + x256 + "\""}, {"restoreSingleFileInitLabel", over, "\"\""},
    };
    for (const auto& [method, path, reply] : rows) {
        const std::string got = BusClient().call(method, {argString(path)});
        const std::string expected = reply[0] == '=' ? "\"" + readXattr(reply.substr(1)) + "\"" : reply;
        EXPECT_EQ(got, expected) << method << " " << path;
        EXPECT_TRUE(reply[0] != '=' || expected.size() > 100) << method << " " << path;
    }
    EXPECT_EQ(readXattr(link), "");
    umount2(ro.c_str(), MNT_DETACH);
}

TEST_F(LabelMgrBusTest, FullRelabelKeepsItsLimitsAndRefusesToOverlapAnotherRun)
{
    ASSERT_TRUE(sandbox::mountPrivateDev());
    TempTree t;
    const std::string kept = t.file("a/f"), other = t.dir("other");
    const std::string alone = t.file("x8/f");  // excluded from the tree, then a root of its own
    std::vector<std::string> excluded(51);
    std::generate(excluded.begin(), excluded.end(), [&, i = 0]() mutable { return t.path("x" + std::to_string(i++)); });
    start();
    // The process-wide store is not ready, so this run holds the context.
    LogCapture log;
    std::thread first([&] { VetuRestoreContext::getInstance().setLabelToDirRecursive(VetuRestoreInit::getInstance(), other, {}); });
    waitFor([&] { return log.countContaining("hardware_concurrency") > 0; }, 5);
    EXPECT_EQ(BusClient().call("addTagFullSystem", {argString(t.root()), argStrings({})}), "-1");
    VetuRestoreInit::getInstance().m_isInitialized = true;
    first.join();
    const std::vector<std::string> fifty(excluded.begin(), excluded.end() - 1);
    const std::tuple<std::string, std::vector<std::string>, std::string> rows[] = {
        {t.root(), fifty, "0"}, {t.root(), excluded, kInvalid + "excludedDir size too large"},
        {t.root(), {"rel"}, kInvalid + "excludedDir is not safe"}, {"/a/../b", {}, kInvalid + "path is not safe"},
        {t.path("none"), {}, "-1"}, {alone, {}, "0"},
    };
    for (const auto& [root, exclusions, reply] : rows) {
        EXPECT_EQ(BusClient().call("addTagFullSystem", {argString(root), argStrings(exclusions)}, 20000), reply);
    }
    EXPECT_NE(readXattr(kept), "");
    EXPECT_NE(readXattr(alone), "");
}

TEST_F(LabelMgrBusTest, PackageLabellingChecksItsArgumentsLabelsEachPathItselfAndWaitsForTheStartUpBuild)
{
    std::filesystem::create_directories(paths::kDataDir);
    TempTree t;
    const std::string file = t.file("p/f"), dir = t.dir("p/d"), target = t.file("p/t");
    const std::string link = t.symlink("p/l", target), missing = t.path("p/m");
    StubRpm rpm("[ \"$1\" = -ql ] && sleep 1\n" + listingStubBody());
    writeListing(rpm, {"base-1-1.noarch"}, {{"base", {"/base/file"}}});
    store.m_isInitialized = false;
    start();
    std::thread build([&] { store.initMap(); });
    waitFor([&] { return rpm.calls().size() >= 2; }, 5);  // the import lists the package's files
    const std::vector<std::string> files{"rel", file, dir, link, missing};
    EXPECT_EQ(BusClient().call("setLabelForPkg", {argStrings(files), argString("pk"), argU32(3)}, 30000), "0");
    // The whole import and the package are stored at once; the unsafe path is skipped.
    for (const auto& [path, owner] :
         {std::pair(file, "pk"), {link, "pk"}, {missing, "pk"}, {"/base/file", "base"}, {"rel", ""}}) {
        VetuRestoreInit restarted;
        std::string stored;
        EXPECT_EQ(restarted.loadPkgAndFileData(), 0);
        EXPECT_EQ(restarted.queryFileBelongPkg(path, stored), *owner != '\0') << path;
        EXPECT_EQ(stored, owner);
    }
    build.join();
    const ExpectedId pk{sm3Last64("pk"), 0, 0};
    const uint32_t fixedTid = 2, unconfigured = 5, packageDir = 7;
    EXPECT_EQ(readXattr(file), labelText(pk, fixedTid, pk, unconfigured));
    EXPECT_EQ(readXattr(link), labelText(pk, fixedTid, pk, unconfigured));
    EXPECT_EQ(readXattr(dir), labelText(pk, fixedTid, pk, packageDir));
    EXPECT_EQ(readXattr(target), "");
    const std::tuple<std::vector<std::string>, std::string, uint32_t, std::string> rows[] = {
        {{}, "pk", 1, kInvalid + "filelist or pkgname empty"}, {{file}, "", 1, kInvalid + "filelist or pkgname empty"},
        {std::vector<std::string>(50000, file), std::string(513, 'n'), 1, kInvalid + "pkgname too long"},
        {std::vector<std::string>(50001, file), "pk", 1, kInvalid + "filelist too large"},
        {{file}, std::string(512, 'n'), 4, "0"},
        {{file}, "pk", 0, kInvalid + "pkg type invalid"},     {{file}, "pk", 5, kInvalid + "pkg type invalid"},
        {{"rel", "a/b"}, "pk", 1, kInvalid + "no safe files in filelist"},
    };
    for (const auto& [list, name, type, reply] : rows) {
        EXPECT_EQ(BusClient().call("setLabelForPkg", {argStrings(list), argString(name), argU32(type)}), reply);
    }
}

// Many paths of one directory are typed from its listing as a stat (links
// followed) would: directories and links to one join the parent-directory
// cache, as does a directory another listed path lies in.
TEST_F(LabelMgrBusTest, PackagePathsTypedFromTheirDirectorysListingAsByStat)
{
    std::filesystem::create_directories(paths::kDataDir);
    TempTree t;
    std::vector<std::string> files(16);
    std::generate(files.begin(), files.end(), [&, i = 0]() mutable { return t.file("p/f" + std::to_string(i++)); });
    const std::string dir = t.dir("p/d"), dirLink = t.symlink("p/dl", t.dir("elsewhere"));
    const std::string fileLink = t.symlink("p/fl", files[0]), missing = t.path("p/m");
    const std::string outer = t.dir("q/s"), inner = t.file("q/s/x");
    files.insert(files.end(), {dir, dirLink, fileLink, missing, outer, inner});
    start();
    EXPECT_EQ(BusClient().call("setLabelForPkg", {argStrings(files), argString("pk"), argU32(1)}, 30000), "0");
    for (const auto& [path, cached] : {std::pair(t.path("p"), true), {dir, true}, {dirLink, true}, {files[0], false},
                                       {fileLink, false}, {missing, false}, {outer, true}, {inner, false}}) {
        EXPECT_EQ(store.isCachedParentDir(path), cached) << path;
    }
}

}  // namespace
