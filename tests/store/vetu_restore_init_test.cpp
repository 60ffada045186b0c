#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <string>

#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/temp_tree.h"

namespace {

class StoreTest : public ::testing::Test {
protected:
    VetuRestoreInit store;
};

// A file keeps its last owner; bad arguments register nothing.
TEST_F(StoreTest, RegistrationKeepsTheLastFileOwnerAndRefusesBadArguments)
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

TEST_F(StoreTest, ParentDirCacheNeverHoldsRootAndSkipsRelocationNotices)
{
    store.updateParentDirsCache("/usr/lib/x/y.so");
    store.updateParentDirsCache("/usr/lib/z.so");
    store.updateParentDirsCache("/top-level-file");
    store.updateParentDirsCache("");
    for (const std::string notice : {"/opt/a 被转移自 /usr/a", "/opt/b 被转移至 /usr/b", "软件包将其他的包转移至 /x/y"}) {
        store.updateParentDirsCache(notice);
    }
    store.updateParentDirsCache("/srv/被/a");  // "被" alone is a name
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
