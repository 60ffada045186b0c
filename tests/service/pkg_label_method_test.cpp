// Package labelling over the bus: argument limits, every path labelled on
// itself, the package kept in the stored data, and a call during a slow
// start-up build.
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "common/paths.h"
#include "service/labelmgr_bus_fixture.h"
#include "support/bus_client.h"
#include "support/expected_label.h"
#include "support/log_capture.h"
#include "support/stub_rpm.h"
#include "support/temp_tree.h"

namespace {

std::string labelPkg(const std::vector<std::string>& files, const std::string& name, uint32_t type)
{
    return BusClient().call("setLabelForPkg", {argStrings(files), argString(name), argU32(type)}, 30000);
}

// The owner of path in the package data as a fresh start loads it.
std::string storedOwner(const std::string& path)
{
    VetuRestoreInit restarted;
    std::string owner;
    return restarted.loadPkgAndFileData() == 0 && restarted.queryFileBelongPkg(path, owner) ? owner : "";
}

TEST_F(LabelMgrBusTest, PackageLabellingChecksItsArgumentsLabelsEachPathItselfAndPersists)
{
    std::filesystem::create_directories(paths::kDataDir);
    TempTree t;
    const std::string file = t.file("p/f"), dir = t.dir("p/d"), target = t.file("p/t");
    const std::string link = t.symlink("p/l", target), missing = t.path("p/m");
    start();
    const std::string invalid = "!org.freedesktop.DBus.Error.InvalidArgs: ";
    const struct {
        std::vector<std::string> files;
        std::string name;
        uint32_t type;
        std::string reply;
    } rows[] = {
        {{}, "pk", 1, invalid + "filelist or pkgname empty"},
        {{file}, "", 1, invalid + "filelist or pkgname empty"},
        {std::vector<std::string>(50000, file), std::string(513, 'n'), 1, invalid + "pkgname too long"},
        {std::vector<std::string>(50001, file), "pk", 1, invalid + "filelist too large"},
        {{file}, std::string(512, 'n'), 4, "0"},
        {{file}, "pk", 0, invalid + "pkg type invalid"},
        {{file}, "pk", 5, invalid + "pkg type invalid"},
        {{"rel", "a/b"}, "pk", 1, invalid + "no safe files in filelist"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(labelPkg(row.files, row.name, row.type), row.reply) << row.name.size() << " " << row.type;
    }
    LogCapture log;
    EXPECT_EQ(labelPkg({"rel", file, dir, link, missing}, "pk", 3), "0");
    const ExpectedId pk{sm3Last64("pk"), 0, 0};
    const uint32_t fixedTid = 2, unconfigured = 5, packageDir = 7;
    EXPECT_EQ(readXattr(file), labelText(pk, fixedTid, pk, unconfigured));
    EXPECT_EQ(readXattr(link), labelText(pk, fixedTid, pk, unconfigured));
    EXPECT_EQ(readXattr(dir), labelText(pk, fixedTid, pk, packageDir));
    EXPECT_EQ(readXattr(target), "");
    EXPECT_EQ(log.count("Skipping unsafe file path for pkg pk: rel", "WARN"), 1u);
    EXPECT_EQ(log.count("set file label for pkg(pk): pkg type 3, " + missing + " setxattr error, No such file or directory",
                        "ERROR"),
              1u);
    for (const auto& path : {file, dir, link, missing}) {
        EXPECT_EQ(storedOwner(path), "pk") << path;
    }
}

TEST_F(LabelMgrBusTest, PackageAnnouncedDuringASlowStartUpBuildIsStoredWithTheWholeImport)
{
    std::filesystem::remove_all(paths::kDataDir);  // no stored data: the build imports
    std::filesystem::create_directories(paths::kDataDir);
    TempTree t;
    const std::string file = t.file("f");
    StubRpm rpm("[ \"$1\" = -ql ] && sleep 1\n" + listingStubBody());
    writeListing(rpm, {"base-1-1.noarch"}, {{"base", {"/base/file"}}});
    store.m_isInitialized = false;
    start();
    std::thread build([&] { store.initMap(); });
    for (int i = 0; i < 500 && rpm.calls().size() < 2; ++i) {
        usleep(10000);  // until the import lists the package's files
    }
    EXPECT_EQ(labelPkg({file}, "pk", 2), "0");
    EXPECT_EQ(storedOwner("/base/file"), "base");
    EXPECT_EQ(storedOwner(file), "pk");
    build.join();
    std::string owner;
    EXPECT_TRUE(store.queryFileBelongPkg(file, owner) && owner == "pk");
}

}  // namespace
