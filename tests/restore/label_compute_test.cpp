#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/label_context.h"
#include "common/label_xattr.h"
#include "common/path_utils.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/temp_tree.h"

namespace {

class LabelComputeTest : public testing::Test {
protected:
    std::string newLabel(const std::string& path)
    {
        std::string label;
        EXPECT_EQ(VetuRestoreContext::getNewCreateFileLabel(path, store, label), 0) << path;
        return label;
    }
    uint32_t flagOf(const std::string& path)
    {
        LabelContext context;
        EXPECT_EQ(stringToContext(newLabel(path), &context), 0);
        return context.inherit_flag;
    }
    void rebuildIndex() { store.m_mapPathToIdentityType.store(store.buildIdentityDataIndex()); }

    VetuRestoreInit store;
};

}  // namespace

// The inherit flag is 7 in every case but one: configured 7, no entry and no
// policy directory on either side, not a packaged parent, nothing indexed below
// (which paths count as below: SubtreeAnswerMatchesAFullScan); /run and what
// lies under it take the default label, flag 5.
TEST_F(LabelComputeTest, InheritFlagFiveOrSeven)
{
    store.identityDataFileSid.set("/p/q/file", {1, 2, 3});
    rebuildIndex();
    store.insertFileOfPkgToMap("/c/d/lib.so", "libpkg", 1);
    store.updateParentDirsCache("/c/d/lib.so");
    store.identityDataUserConfigInheritFlag.set("/three", 3);
    for (const char* path : {"/run", "/run/a/b", "/runx"}) {
        store.identityDataUserConfigInheritFlag.set(path, 0);
    }

    struct Case {
        const char* path;
        uint32_t flag;
        const char* why;
    } cases[] = {
        {"/plain", 5, "configured 7, unmatched, nothing below"},
        {"/three", 7, "configured 3"},
        {"/p", 7, "an indexed path lies below"},
        {"/p/q/file", 7, "its own exact entry"},
        {"/c", 7, "a parent directory of a packaged file"},
        {"/c/d", 7, "the packaged file's own directory"},
        {"/run", 5, "the default label covers /run, configured 0 or not"},
        {"/run/a/b", 5, "and what lies under it"},
        {"/runx", 7, "by whole component: configured 0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(flagOf(c.path), c.flag) << c.path << ": " << c.why;
    }
}

// Exact entries give file_id; a directory with a policy gives path_id and the
// path's own file identifier; file wildcards give pkg_id, the last key winning.
TEST_F(LabelComputeTest, IdentitiesFromEntriesPoliciesAndWildcards)
{
    store.insertPkgidToMap("tool", 3);
    store.insertFileOfPkgToMap("/opt/tool/bin", "tool", 3);
    store.identityDataDirOpathid.set("/opt", 0x0a);
    store.identityDataDirSpathid.set("/", 0x0b);
    store.identityDataLnkfileOid.set("/opt/tool/bin", {9, 0x111, 9});
    store.identityDataFileSid.set("/opt/tool/bin", {9, 0x222, 9});
    store.identityDataFileWildcardOid.set("/opt/tool/*", {0x301, 0, 0});
    store.identityDataFileWildcardOid.set("/opt/tool/b*", {0x302, 0, 0});
    store.identityDataFileWildcardSid.set("/opt/*/bin", {0x401, 0, 0});
    store.identityDataUserConfigTid.set("/opt/other", 0x44);

    // Package type 3 fixes tid 2; exact entries on both sides.
    EXPECT_EQ(newLabel("/opt/tool/bin"), labelText({0x401, 0x222, 0x0b}, 2, {0x302, 0x111, 0x0a}, 7));
    // No entry, but policy directories on both sides (the sid one at the root).
    EXPECT_EQ(newLabel("/opt/other"),
              labelText({0, sm3Last64("/opt/other"), 0x0b}, 0x44, {0, sm3Last64("/opt/other"), 0x0a}, 7));
}

TEST_F(LabelComputeTest, NearestParentWithPolicy)
{
    store.identityDataDirSpathid.set("/a/b", 0x1);
    store.identityDataDirSpathid.set("/", 0x2);
    store.identityDataDirWSpathid.set("/w/*", 0x3);
    store.identityDataDirWSpathid.set("/a/b/c*", 0x4);
    store.identityDataDirOpathid.set("/o", 0x5);
    store.identityDataDirWSpathid.set("*", 0x6);  // matches "" alone
    const std::tuple<const char*, int, const char*, uint64_t> cases[] = {
        {"/a/b/x/y", 1, "/a/b", 0x1},
        {"/w/x/y", 1, "/w/x", 0x3},
        // A wildcard one level nearer beats an exact entry further up.
        {"/a/b/cd/e", 1, "/a/b/cd", 0x4},
        {"/elsewhere/x", 1, "/", 0x2},
        // The parent text of a top-level directory is "", never tried itself.
        {"", 1, "/", 0x2},
        {"/o/x", 0, "/o", 0x5},
        {"/a/b/x", 0, "", 0},
    };
    for (const auto& [path, type, dir, pathId] : cases) {
        EXPECT_EQ(VetuRestoreContext::findNearestParentDirHasPolicy(path, store, type),
                  VetuRestoreContext::PathPolicy(dir, pathId)) << path;
    }
}

TEST(SetParentDirInheritFlagTest, NearestDirectoryOrEveryMatchedTree)
{
    TempTree tree;
    const std::string a = tree.dir("a");
    const std::string b = tree.dir("a/b");
    const std::string full = tree.dir("full");
    const std::string bare = tree.dir("bare");
    LabelContext label;
    label.tid = 0x12;
    label.inherit_flag = 5;
    for (const auto& dir : {a, b}) {
        ASSERT_EQ(setFileLabelToXattr(dir.c_str(), &label, kXattrModeFile), 0);
    }
    label.inherit_flag = 7;
    ASSERT_EQ(setFileLabelToXattr(full.c_str(), &label, kXattrModeFile), 0);

    // A path that does not exist yet: its nearest existing directory.
    EXPECT_EQ(setParentDirInheritFlag(b + "/not/yet", 7), 0);
    EXPECT_EQ(readXattr(b), labelText({}, 0x12, {}, 7));
    EXPECT_EQ(readXattr(a), labelText({}, 0x12, {}, 5));
    EXPECT_EQ(setParentDirInheritFlag(full, 3), 0);
    EXPECT_EQ(readXattr(full), labelText({}, 0x12, {}, 7)) << "an inherit flag of 7 stays";
    EXPECT_EQ(setParentDirInheritFlag(bare, 7), -1) << "no label to change";

    // A pattern: every directory of every matching tree.
    EXPECT_EQ(setParentDirInheritFlag(tree.root() + "/a*", 6), 0);
    EXPECT_EQ(readXattr(a), labelText({}, 0x12, {}, 6));
    EXPECT_EQ(readXattr(b), labelText({}, 0x12, {}, 7));
}

// The subtree question answers as a scan of the whole index with isSubPath
// would, for keys and paths that share prefixes with and without a boundary.
TEST_F(LabelComputeTest, SubtreeAnswerMatchesAFullScan)
{
    std::vector<std::string> paths{"/"};
    for (const std::string first : {"a", "ab", "a.b", "b", "a-"}) {
        paths.push_back("/" + first);
        for (const std::string second : {"a", "ab", "a.b", "b", "a-", "/"}) {
            paths.push_back("/" + first + "/" + (second == "/" ? "" : second));
            paths.push_back("/" + first + second);
        }
    }
    std::vector<std::string> keys;
    for (size_t i = 0; i < paths.size(); i += 3) {
        keys.push_back(paths[i]);
        store.identityDataFileWildcardOid.set(paths[i], {});
    }
    rebuildIndex();
    for (const auto& path : paths) {
        bool below = false;
        for (const auto& key : keys) {
            below = below || isSubPath(path, key);
        }
        EXPECT_EQ(flagOf(path), below ? 7u : 5u) << path;
    }
}
