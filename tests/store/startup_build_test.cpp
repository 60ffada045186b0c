// The start-up build of the data store against a stub rpm.
#include <gtest/gtest.h>

#include <unistd.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "common/label_context.h"
#include "common/paths.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/stub_program.h"
#include "support/temp_tree.h"

namespace {

VetuRestoreInit& store()
{
    return VetuRestoreInit::getInstance();
}

std::map<std::string, std::string> ownersOfPaths()
{
    std::map<std::string, std::string> owners;
    for (const auto& [path, info] : store().packageDataSnapshot().filePathToPkgName) {
        owners[path] = info.pkgName;
        EXPECT_EQ(info.pkgType, 1u) << path;
    }
    return owners;
}

std::set<std::string> packageNames()
{
    std::set<std::string> names;
    const PkgFileData data = store().packageDataSnapshot();
    for (const auto& [name, info] : data.pkgNameToId) {
        names.insert(name);
        EXPECT_EQ(info.pkgId, sm3Last64(name)) << name;
        EXPECT_EQ(info.pkgType, 1u) << name;
        const auto back = data.pkgIdToName.find(info.pkgId);
        EXPECT_TRUE(back != data.pkgIdToName.end() && back->second == name) << name;
    }
    return names;
}

// Signed package data of one package owning one path, with the maps left
// empty as a fresh process has them.
void storeOnePackage(const std::string& name, const std::string& path)
{
    ASSERT_EQ(store().insertPkgidToMap(name, 1), 0);
    store().insertFileOfPkgToMap(path, name, 1);
    ASSERT_EQ(store().storePkgAndFileData(), 0);
    store().clearPackageData();
}

class StartupBuildTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(paths::kDataDir); }
};

}  // namespace

// Names may hold '-' themselves; notices of a package without files, in any
// language, are not paths; a path filling whole output chunks is neither
// glued to the next nor lost; a path of "filesystem" is its own whichever
// task writes last.
TEST_F(StartupBuildTest, ImportsNamesOwnersAndParentDirectories)
{
    const std::string oneChunk = "/c/" + std::string(1020, 'a');
    const std::string twoChunks = "/c/" + std::string(2043, 'b');
    StubRpm stub(listingStubBody());
    writeListing(stub,
                 {"bash-5.1.8-6.x86_64", "python3-libs-3.9.16-1.x86_64", "foo-1", "foo", "-1.0-1.noarch", "a-1-1.noarch",
                  "b-1-1.noarch", "c-1-1.noarch", "zz-1-1.noarch", "filesystem-3.16-2.noarch", "aa-1-1.noarch"},
                 {{"a", {"(没有包含文件)"}},
                  {"b", {"(contains no files)", "(keine Dateien enthalten)"}},
                  {"c", {"", "relative/x", "/c/real", oneChunk, "/c/next", twoChunks, "/c/last"}},
                  {"zz", {"/s/shared"}}, {"filesystem", {"/s/shared"}}, {"aa", {"/s/shared"}}});
    store().initMap();
    EXPECT_TRUE(store().m_isInitialized.load());
    EXPECT_EQ(packageNames(), (std::set<std::string>{"bash", "python3-libs", "foo-1", "foo", "a", "b", "c", "zz",
                                                     "filesystem", "aa"}));
    EXPECT_EQ(ownersOfPaths(), (std::map<std::string, std::string>{{"/c/real", "c"}, {oneChunk, "c"}, {"/c/next", "c"},
                                                                   {twoChunks, "c"}, {"/c/last", "c"},
                                                                   {"/s/shared", "filesystem"}}));
    const auto dirs = store().packageDataSnapshot().cachedParentDirs;
    EXPECT_EQ(dirs.count("/"), 1u);
    EXPECT_EQ(dirs.count("/c"), 1u);
    EXPECT_EQ(dirs.count("/c/real"), 0u);
}

// A failing listing gives no packages; a file list whose rpm dies by a signal
// adds no path. Neither import is stored: the next start imports again.
TEST_F(StartupBuildTest, FailingPackageListingIsNotStored)
{
    StubRpm stub("echo a-1-1.noarch\nexit 2\n");
    store().initMap();
    EXPECT_TRUE(store().m_isInitialized.load());
    EXPECT_TRUE(packageNames().empty());
    EXPECT_FALSE(pathExists(paths::kPkgFileData) || pathExists(paths::kPkgFileDataSig));
}

TEST_F(StartupBuildTest, FileListKilledBySignalAddsNothing)
{
    StubRpm stub("case \"$1\" in -qa) echo a-1-1.noarch; echo b-1-1.noarch ;;\n"
                 "-ql) [ \"$2\" = a ] && { echo /a/x; kill -9 $$; }; [ \"$2\" = b ] && echo /b/y ;; esac\n");
    store().initMap();
    EXPECT_EQ(packageNames(), (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(ownersOfPaths(), (std::map<std::string, std::string>{{"/b/y", "b"}}));
    EXPECT_FALSE(pathExists(paths::kPkgFileData));
}

// Valid signed package data is the truth: rpm is not run and the maps are
// exactly what was stored. (Tampered data is deleted at the file layer and
// the database imported, as without data.)
TEST_F(StartupBuildTest, ValidStoredPackageDataSkipsTheDatabase)
{
    storeOnePackage("stored", "/stored/file");
    StubRpm stub(listingStubBody());
    writeListing(stub, {"other-1-1.noarch"}, {{"other", {"/other/file"}}});
    store().initMap();
    EXPECT_TRUE(stub.calls().empty());
    EXPECT_EQ(packageNames(), (std::set<std::string>{"stored"}));
    EXPECT_EQ(ownersOfPaths(), (std::map<std::string, std::string>{{"/stored/file", "stored"}}));
}

// Package data that fails its checks is not kept and stored again. A build
// that then fails part-way (here: an import after the pool has stopped) is
// logged, stores nothing half-done and still ends with the store ready.
TEST_F(StartupBuildTest, InvalidStoredPackageDataIsClearedAndFailingBuildSetsReadiness)
{
    storeOnePackage("bad name", "/bad/file");
    StubRpm stub(listingStubBody());
    writeListing(stub, {"good-1-1.noarch"}, {{"good", {"/good/file"}}});

    store().initMap();

    EXPECT_EQ(packageNames(), (std::set<std::string>{"good"}));
    EXPECT_EQ(ownersOfPaths(), (std::map<std::string, std::string>{{"/good/file", "good"}}));

    ASSERT_TRUE(store().m_isInitialized.load());
    unlink(paths::kPkgFileData);
    store().m_isInitialized.store(false);
    store().initMap();
    EXPECT_TRUE(store().m_isInitialized.load());
    EXPECT_FALSE(pathExists(paths::kPkgFileData));
}

// Labels of configured inherit directories: package, user-set and
// preallocated package id, flag, and the create oid kept from the directory's
// own label.
TEST_F(StartupBuildTest, InheritDirectoryLabelsArePrecomputed)
{
    TempTree tree;
    const std::string owned = tree.dir("owned");
    const std::string mine = tree.dir("mine");
    const std::string missing = tree.path("missing");
    const std::string pre = tree.dir("pre");
    LabelContext existing{};
    existing.create_oid = {1, 2, 3};
    const std::string text = contextToString(existing);
    ASSERT_EQ(setxattr(owned.c_str(), "security.vetu", text.data(), text.size(), 0), 0);
    std::filesystem::create_directories(paths::kLabelConfDir);
    std::ofstream(paths::kDirInheritConf) << owned << "=0x7\n" << missing << "=0x7\n"
                                          << mine << "=0x7\n" << pre << "=0x7\n";
    std::ofstream(paths::kPreallocatedFilePkgidConf) << pre << "=0x5e\n";
    StubRpm stub(listingStubBody());
    writeListing(stub, {"owner-1-1.noarch", "mypkg-1-1.noarch"}, {{"owner", {owned, pre}}, {"mypkg", {mine}}});
    store().identityDataUserConfigPid.set("mypkg", 0xabc);
    store().identityDataUserConfigInheritFlag.set(owned, 3);

    store().initMap();

    const auto labelOf = [](const std::string& dir) {
        LabelContext label{};
        return store().getInheritDirLabel(dir, label) ? contextToString(label) : "none";
    };
    const uint64_t owner = sm3Last64("owner");
    EXPECT_EQ(labelOf(owned), labelText({owner, 0, 0}, 0, {owner, 0, 0}, 3, {1, 2, 3}));
    EXPECT_EQ(labelOf(mine), labelText({0xabc, 0, 0}, 0, {0xabc, 0, 0}, 7)) << "the user-set package id";
    EXPECT_EQ(labelOf(pre), labelText({0x5e, 0, 0}, 0, {0x5e, 0, 0}, 7)) << "the preallocated package id";
    EXPECT_EQ(labelOf(missing), "none");
}
