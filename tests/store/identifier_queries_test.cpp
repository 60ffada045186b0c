#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "common/path_utils.h"
#include "store/pattern_match.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/temp_tree.h"

namespace {

class QueryTest : public ::testing::Test {
protected:
    VetuRestoreInit store;
};

TEST_F(QueryTest, FilePkgidWithPrefixes)
{
    store.insertFileOfPkgToMap("/bin/ls", "coreutils", 1);
    store.insertFileOfPkgToMap("/lib64/libc.so", "glibc", 2);
    store.insertFileOfPkgToMap("/tmp/x", "tmpowner", 1);
    store.insertFileOfPkgToMap("/usr/bin/direct", "direct", 4);
    store.insertFileOfPkgToMap("/binx", "odd", 1);
    store.insertFileOfPkgToMap("/lib/libz.so", "zlib", 1);

    // Each row: a path, its owner (nullptr: none) and the package type.
    const std::tuple<const char*, const char*, uint32_t> cases[] = {
        {"/usr/bin/direct", "direct", 4},
        {"/usr/lib/libz.so", "zlib", 1},
        {"/usr/lib64/libc.so", "glibc", 2},
        {"/var/tmp/x", "tmpowner", 1},
        {"/usr/binx", "odd", 1},  // a plain prefix, no component boundary
        {"/usr/local/x", nullptr, 0},
        {"/usr/sbin/ls", nullptr, 0},  // becomes /sbin/ls
        {"/opt/bin/ls", nullptr, 0},
    };
    for (const auto& [path, pkg, wantType] : cases) {
        uint64_t id = 7;
        uint32_t type = 7;
        EXPECT_EQ(store.queryFilePkgid(path, id, type), 0);
        EXPECT_TRUE(type == wantType && id == (pkg ? sm3Last64(pkg) : 0u)) << path;
    }
}

TEST_F(QueryTest, InheritFlagsAndTidsWithTheirDefaults)
{
    store.m_mapDirInheritFlag.store({{"/opt/app", 0}, {"/opt/conf", 3}});
    store.m_mapInterpreterTid.store({{"/usr/bin/python3", 0x20}, {"/usr/bin/perl", 0x21}});
    store.identityDataUserConfigInheritFlag.set("/opt/conf", 1);
    store.identityDataUserConfigInheritFlagGlob.set("/opt/c*", 2);
    store.identityDataUserConfigTid.set("/usr/bin/perl", 0x30);
    store.identityDataUserConfigTidGlob.set("/usr/bin/p*", 0x31);
    store.identityDataUserConfigTidGlob.set("/usr/bin/py*", 0x32);

    const std::tuple<const char*, uint32_t, uint32_t> cases[] = {
        {"/opt/conf", 1, 0},            // exact beats the pattern and the file
        {"/opt/cache", 2, 0},           // pattern
        {"/opt/app", 0, 0},             // configuration file
        {"/nowhere", 7, 0},             // defaults
        {"/usr/bin/perl", 7, 0x30},     // exact tid
        {"/usr/bin/python3", 7, 0x32},  // greatest matching pattern beats the file
        {"/usr/bin/pip", 7, 0x31},
    };
    // Tables loaded once answer as the store itself does.
    const IdentifierTables tables = store.loadIdentifierTables();
    for (const auto& [path, flag, tid] : cases) {
        uint32_t got[4] = {99, 99, 99, 99};
        EXPECT_EQ(store.getDirInheritFlag(path, got[0]) + store.getDirInheritFlag(path, got[1], tables) +
                      store.getTid(path, got[2]) + store.getTid(path, got[3], tables), 0);
        EXPECT_EQ(std::vector<uint32_t>(got, got + 4), (std::vector<uint32_t>{flag, flag, tid, tid})) << path;
    }
    // An interpreter without user-set entries keeps its configured tid; the
    // tables loaded before keep what they saw.
    store.identityDataUserConfigTidGlob.clear();
    uint32_t got[3] = {};
    EXPECT_EQ(store.getTid("/usr/bin/python3", got[0]) + store.getTid("/usr/bin/python3", got[1], store.loadIdentifierTables()) +
                  store.getTid("/usr/bin/python3", got[2], tables), 0);
    EXPECT_EQ(std::vector<uint32_t>(got, got + 3), (std::vector<uint32_t>{0x20, 0x20, 0x32}));
}

TEST_F(QueryTest, SpecialFileSystems)
{
    store.m_mapSpecialFsTypePkgId.store({{"proc", 0x10}, {"tmpfs", 0x20}});
    store.m_mapMountPointFsType.store({{"/", "ext4"}, {"/proc", "proc"}, {"/run/user", "tmpfs"}});
    const std::tuple<const char*, const char*, uint64_t> cases[] = {
        {"/proc", "proc", 0x10}, {"/proc/1/status", "proc", 0x10}, {"/run/user/0", "tmpfs", 0x20},
        {"/run/userx", "ext4", 0}, {"/", "ext4", 0}, {"relative", "", 0},
    };
    for (const auto& [path, fsType, pkgId] : cases) {
        EXPECT_EQ(store.getFsTypeByPath(path), fsType) << path;
        EXPECT_EQ(store.querySpecialFsPkgidByPath(path), pkgId) << path;
    }
}

// The pattern scan and the index by literal start skip fnmatch where a
// pattern's literal start rules a path out; the answers must be fnmatch's own.
TEST_F(QueryTest, PatternAnswersAreThoseOfFnmatch)
{
    const std::string patterns[] = {"/a/b",  "/a/b*", "/a/*",   "/a/?",  "/a/[bc]", "/a/\\*", "/a\\/b", "/a/[",
                                    "/a/b/", "/a",    "/a*",    "*",     "/a/**",   "/a/b?c", "/[!x]/b",
                                    std::string("/a\0b", 4), "/a/b/c/d", ""};
    const std::string paths[] = {"/a/b", "/a/bc", "/a/c",  "/a/*",   "/a/[", "/a",   "/a/b/c",
                                 "/",    "/ab",   "/a/b/", "/a/b/c/d", "/x/b", "/y/b", std::string("/a\0c", 4)};
    for (const auto& pattern : patterns) {
        store.identityDataUserConfigTidGlob.clear();
        store.identityDataUserConfigTidGlob.set(pattern, 1);
        const pattern_match::PatternIndex<uint32_t> index(store.identityDataUserConfigTidGlob.snapshot());
        for (const auto& path : paths) {
            SCOPED_TRACE("pattern " + pattern + ", path " + path);
            const uint32_t want = isWildcardMatch(pattern, path) ? 1 : 0;
            uint32_t tid = 0;
            uint32_t indexed = 0;
            store.getTid(path, tid);
            index.lastMatch(path, indexed);
            EXPECT_EQ(tid, want);
            EXPECT_EQ(indexed, want);
        }
    }
    // Of two matches found under different literal starts, the greater key
    // ('?' sorts after '1') still wins.
    store.identityDataUserConfigTidGlob.clear();
    store.identityDataUserConfigTidGlob.set("/a/?x", 1);
    store.identityDataUserConfigTidGlob.set("/a/1*", 2);
    const pattern_match::PatternIndex<uint32_t> two(store.identityDataUserConfigTidGlob.snapshot());
    uint32_t tid = 0;
    EXPECT_TRUE(two.lastMatch("/a/1x", tid));
    EXPECT_EQ(tid, 1u);
}

// Tables come from shared copies of the package data: each kind of change
// reaches the next load, while tables already held keep their moment.
TEST_F(QueryTest, EveryPackageChangeReachesTheNextLoad)
{
    uint64_t id = 0;
    uint32_t type = 0;
    const auto owned = [&](const char* path, const IdentifierTables& t) { return store.findFilePkgId(path, id, t); };
    PkgFileData swapped;
    swapped.filePathToPkgName["/s"] = {"ps", 1};
    swapped.pkgNameToId["ps"] = {7, 1};
    swapped.cachedParentDirs.insert("/sd");
    const std::pair<std::function<void()>, std::function<bool(const IdentifierTables&)>> steps[] = {
        {[&] { store.insertFileOfPkgToMap("/a", "pa", 1); }, [&](auto& t) { return t.fileOwners->count("/a"); }},
        {[&] { store.insertPkgidToMap("pa", 1); }, [&](auto& t) { return owned("/a", t); }},
        {[&] { store.addPackageFiles("pa", 1, {"/b"}); }, [&](auto& t) { return owned("/b", t); }},
        {[&] { store.updateParentDirsCache("/d/f"); }, [&](auto& t) { return store.isCachedParentDir("/d/", t); }},
        {[&] { store.insertFileOfPkgToMap("/e", "pe", 1); }, [&](auto& t) { return t.fileOwners->count("/e"); }},
        {[&] { store.getPkgId("pe", id); }, [&](auto& t) { return owned("/e", t); }},
        {[&] { store.identityDataUserConfigPid.set("pe", 0x42); },
         [&](auto& t) { return store.queryFilePkgid("/e", id, type, t) == 0 && id == 0x42; }},
        {[&] { store.swapPackageData(swapped); }, [&](auto& t) { return owned("/s", t) && id == 7 && store.isCachedParentDir("/sd", t); }},
        {[&] { store.clearPackageData(); }, [&](auto& t) { return !owned("/s", t) && !store.isCachedParentDir("/sd", t); }},
    };
    for (const auto& step : steps) {
        const IdentifierTables before = store.loadIdentifierTables();
        ASSERT_FALSE(step.second(before));
        step.first();
        EXPECT_TRUE(step.second(store.loadIdentifierTables()));
        EXPECT_FALSE(step.second(before));
    }
    // Loaded without package data (for a single path), they ask the live maps.
    const IdentifierTables bare = store.loadIdentifierTables(false);
    store.addPackageFiles("pa", 1, {"/f"});
    store.insertPkgidToMap("pa", 1);
    store.updateParentDirsCache("/g/f");
    EXPECT_TRUE(owned("/f", bare) && store.isCachedParentDir("/g", bare));
}

// A file keeps its last owner; bad arguments register nothing.
TEST_F(QueryTest, RegistrationKeepsTheLastFileOwnerAndRefusesBadArguments)
{
    ASSERT_EQ(store.insertPkgidToMap("pkg", 2), 0);
    EXPECT_EQ(store.insertPkgidToMap("pkg", 3), 0);
    EXPECT_EQ(store.getPkgNameById(sm3Last64("pkg")), "pkg");
    store.insertFileOfPkgToMap("/usr/bin/a", "one", 1);
    store.insertFileOfPkgToMap("/usr/bin/a", "two", 4);
    std::string name;
    EXPECT_TRUE(store.queryFileBelongPkg("/usr/bin/a", name));
    EXPECT_EQ(name, "two");
    EXPECT_FALSE(store.queryFileBelongPkg("/usr/bin/b", name));

    const std::tuple<std::string, std::string, uint32_t> bad[] = {
        {"/x", "", 1}, {"/x", "p", 0}, {"/x", "p", 5}, {"", "p", 1}};
    for (const auto& [path, pkg, type] : bad) {
        if (!path.empty()) {
            EXPECT_EQ(store.insertPkgidToMap(pkg, type), -1) << pkg << " " << type;
        }
        store.insertFileOfPkgToMap(path, pkg, type);
    }
    EXPECT_FALSE(store.queryFileBelongPkg("/x", name));
    EXPECT_FALSE(store.queryFileBelongPkg("", name));
    EXPECT_EQ(store.getPkgNameById(sm3Last64("p")), "");
}

TEST_F(QueryTest, ParentDirCacheNeverHoldsRootAndSkipsRelocationNotices)
{
    // Relocation notices are no paths; "被" alone is a name.
    for (const std::string path : {"/usr/lib/x/y.so", "/usr/lib/z.so", "/top-level-file", "", "/opt/a 被转移自 /usr/a",
                                   "/opt/b 被转移至 /usr/b", "软件包将其他的包转移至 /x/y", "/srv/被/a"}) {
        store.updateParentDirsCache(path);
    }
    // An existing directory counts itself.
    TempTree tree;
    const std::string dir = tree.dir("pkgdir");
    store.updateParentDirsCache(dir);
    const std::pair<std::string, bool> lookups[] = {
        {"/usr", true},  {"/usr/", true}, {"/usr/lib/x", true}, {"/usr/lib/x/y.so", false}, {"/", false},
        {"usr", false},  {"/opt", false}, {"/x", false},        {"/srv/被", true},          {dir, true},
        {tree.root(), true}};
    for (const auto& [path, cached] : lookups) {
        EXPECT_EQ(store.isCachedParentDir(path), cached) << path;
    }
}

}  // namespace
