#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "common/sm3_hash.h"
#include "store/vetu_restore_init.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

namespace {

class StoreTest : public ::testing::Test {
protected:
    std::set<std::string> cachedDirs() { return store.packageDataSnapshot().cachedParentDirs; }
    void setFilePaths(std::map<std::string, FilePkgInfo> paths)
    {
        PkgFileData data;
        data.filePathToPkgName = std::move(paths);
        store.swapPackageData(data);
    }
    LogCapture log;
    VetuRestoreInit store;
};

TEST_F(StoreTest, RegistrationKeepsTheFirstPackageIdAndTheLastFileOwner)
{
    ASSERT_EQ(store.insertPkgidToMap("pkg", 2), 0);
    {
        PkgFileData data = store.packageDataSnapshot();
        data.pkgNameToId["pkg"].pkgId = 0x42;  // to see that a second insert leaves it alone
        store.swapPackageData(data);
    }
    EXPECT_EQ(store.insertPkgidToMap("pkg", 3), 0);
    {
        const PkgFileData data = store.packageDataSnapshot();
        EXPECT_EQ(data.pkgNameToId.at("pkg").pkgId, 0x42u);
        EXPECT_EQ(data.pkgNameToId.at("pkg").pkgType, 2u);
        EXPECT_EQ(data.pkgIdToName, (std::map<uint64_t, std::string>{{getSM3HashLast64Bits("pkg"), "pkg"}}));
    }
    store.insertFileOfPkgToMap("/usr/bin/a", "one", 1);
    store.insertFileOfPkgToMap("/usr/bin/a", "two", 4);
    std::string name;
    EXPECT_TRUE(store.queryFileBelongPkg("/usr/bin/a", name));
    EXPECT_EQ(name, "two");
    EXPECT_EQ(store.packageDataSnapshot().filePathToPkgName.at("/usr/bin/a").pkgType, 4u);
    EXPECT_FALSE(store.queryFileBelongPkg("/usr/bin/b", name));
}

TEST_F(StoreTest, InsertsRefuseBadArguments)
{
    struct Case {
        std::string path;
        std::string name;
        uint32_t type;
        const char* message;
    };
    const Case cases[] = {
        {"/a", "", 1, "pkgname is empty."},
        {"/a", "p", 0, "pkgtype is invalid.."},
        {"/a", "p", 5, "pkgtype is invalid.."},
        {"", "p", 1, "file is empty."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        log.clear();
        if (!c.path.empty()) {
            EXPECT_EQ(store.insertPkgidToMap(c.name, c.type), -1);
            EXPECT_TRUE(log.has(c.message, "ERROR")) << log.dump();
        }
        log.clear();
        store.insertFileOfPkgToMap(c.path, c.name, c.type);
        EXPECT_TRUE(log.has(c.message, "ERROR")) << log.dump();
    }
    const PkgFileData data = store.packageDataSnapshot();
    EXPECT_TRUE(data.pkgNameToId.empty());
    EXPECT_TRUE(data.pkgIdToName.empty());
    EXPECT_TRUE(data.filePathToPkgName.empty());
}

TEST_F(StoreTest, ParentDirCacheNeverHoldsRootAndSkipsRelocationNotices)
{
    store.updateParentDirsCache("/usr/lib/x/y.so");
    store.updateParentDirsCache("/usr/lib/z.so");
    store.updateParentDirsCache("/top-level-file");
    store.updateParentDirsCache("");
    EXPECT_EQ(cachedDirs(), (std::set<std::string>{"/usr", "/usr/lib", "/usr/lib/x"}));
    const std::pair<const char*, bool> lookups[] = {{"/usr", true},  {"/usr/", true}, {"/usr/lib/x", true},
                                                    {"/usr/lib/x/y.so", false},       {"/", false},
                                                    {"", false},     {"usr", false},  {"usr/", false}};
    for (const auto& [dir, cached] : lookups) {
        EXPECT_EQ(store.isCachedParentDir(dir), cached) << dir;
    }

    for (const std::string notice : {"/opt/a 被转移自 /usr/a", "/opt/b 被转移至 /usr/b", "软件包将其他的包转移至 /x/y"}) {
        store.updateParentDirsCache(notice);
        EXPECT_TRUE(log.has("skipped ###### " + notice, "INFO")) << notice;
    }
    store.updateParentDirsCache("/opt/被/a");  // "被" alone is a name
    // An existing directory counts itself.
    TempTree tree;
    const std::string dir = tree.dir("pkgdir");
    store.updateParentDirsCache(dir);
    const auto dirs = cachedDirs();
    EXPECT_EQ(dirs.size(), 3u + 2u + 3u) << "/opt, /opt/被, /tmp, the tree and the directory";
    for (const std::string& d : {std::string("/opt/被"), dir, tree.root()}) {
        EXPECT_EQ(dirs.count(d), 1u) << d;
    }
}

TEST_F(StoreTest, ValidateMappedData)
{
    struct Case {
        std::string path;
        std::string pkg;
        bool valid;
        std::string message;
    };
    const Case cases[] = {
        {"/usr/lib/libgcc.so", "lib64-gcc_1.2+x", true, ""},
        {"(没有包含文件)", "", true, "Skipping rpm placeholder path: '(没有包含文件)', pkg: "},
        {"", "p", false, "Invalid file path: empty, pkg: p"},
        {"/a/../b", "p", false, "Invalid file path contains path traversal: /a/../b, pkg: p"},
        {"../b", "p", false, "Invalid file path contains path traversal: ../b, pkg: p"},
        {"rel/a", "p", false, "File path must be absolute: 'rel/a', pkg: p"},
        {"/a", "", false, "Empty package name for path: /a"},
        {"/a", "bad name", false, "Invalid character in package name: bad name, path: /a"},
        {"/a", "bad/name", false, "Invalid character in package name: bad/name, path: /a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.pkg);
        log.clear();
        setFilePaths({{c.path, FilePkgInfo{c.pkg, 1}}});
        EXPECT_EQ(store.validateMappedData(), c.valid);
        if (!c.message.empty()) {
            EXPECT_TRUE(log.has(c.message)) << log.dump();
        }
    }
    // A placeholder entry stays and does not hide a later bad one.
    setFilePaths({{"(没有包含文件)", FilePkgInfo{"p", 1}}, {"/b", FilePkgInfo{"", 1}}});
    EXPECT_FALSE(store.validateMappedData());
}

TEST_F(StoreTest, IndexCarriesTheLastCategoryInBuildOrder)
{
    store.identityDataFileSid.set("/a", vetu_id_t{1, 0, 0});
    store.identityDataFileOid.set("/a", vetu_id_t{1, 0, 0});
    store.identityDataDirOid.set("/d", vetu_id_t{});
    store.identityDataDirOpathid.set("/d", 1);
    store.identityDataFileWildcardSid.set("/w/*", vetu_id_t{});
    store.identityDataLinkWildcardOid.set("/l*", vetu_id_t{});
    store.identityDataDirWOpathid.set("/w/*", 1);
    store.identityDataLnkfileSid.set("/link", vetu_id_t{});
    store.identityDataUserConfigOid.set("/user-set-only", vetu_id_t{});
    const PathIdentityIndex expected = {
        {"/a", "fileOid"}, {"/d", "dirOpathid"}, {"/w/*", "dirWOpathid"}, {"/l*", "linkWildcardOid"},
        {"/link", "lnkfileSid"}};
    EXPECT_EQ(store.buildIdentityDataIndex(), expected);
}

// The policy parser's round trip: snapshot, change, write back. Package data
// is not part of a snapshot, and copies are independent afterwards.
TEST_F(StoreTest, SnapshotCopiesIdentityDataOnly)
{
    store.identityDataFileSid.set("/a", vetu_id_t{1, 2, 3});
    store.specialFsFileOid.set("/proc", SpecialFsFileRecord{"proc", vetu_id_t{4, 5, 6}});
    store.m_mapPathToIdentityType.store(store.buildIdentityDataIndex());
    store.insertFileOfPkgToMap("/bin/ls", "coreutils", 1);

    const IdentityMaps snapshot = store;
    store.identityDataFileSid.clear();
    store.m_mapPathToIdentityType.store({});
    static_cast<IdentityMaps&>(store) = snapshot;
    EXPECT_EQ(store.identityDataFileSid.getAll().size(), 1u);
    EXPECT_EQ(*store.m_mapPathToIdentityType.load(), (PathIdentityIndex{{"/a", "fileSid"}}));

    VetuRestoreInit copy;
    copy = store;
    SpecialFsFileRecord record;
    EXPECT_EQ(copy.specialFsFileOid.get("/proc", record), 0);
    EXPECT_EQ(record.id, (vetu_id_t{4, 5, 6}));
    EXPECT_EQ(copy.packagedPathCount(), 0u);
    copy.identityDataFileSid.set("/z", vetu_id_t{});
    copy.m_mapPathToIdentityType.store({});
    EXPECT_EQ(store.identityDataFileSid.getAll().size(), 1u);
    EXPECT_EQ(store.m_mapPathToIdentityType.load()->size(), 1u);
}

}  // namespace
