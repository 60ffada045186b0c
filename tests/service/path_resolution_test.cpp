// The three path operations of the service, on a scratch tree.
#include <gtest/gtest.h>

#include <limits>

#include "service/path_resolution.h"
#include "store/vetu_restore_init.h"
#include "support/temp_tree.h"

namespace {

TEST(PathResolutionTest, CheckAndHandlePathResolvesTheNearestExistingAncestor)
{
    TempTree tree;
    const std::string srv = tree.dir("srv/data");
    tree.symlink("data", srv);
    tree.file("srv/data/f");
    const std::pair<std::string, std::string> rows[] = {
        {tree.path("data/f"), srv + "/f"},                             // exists, through a link
        {tree.path("data/new/file.txt"), srv + "/new/file.txt"},       // missing below a link
        {tree.path("nosuch/deeper/x"), tree.path("nosuch/deeper/x")},  // the root of the tree exists
        {"nosuchdir/file", "nosuchdir/file"},                          // relative, nothing exists
        {"/", "/"},
    };
    for (const auto& [input, expected] : rows) {
        EXPECT_EQ(checkAndHandlePath(input), expected) << input;
    }
}

TEST(PathResolutionTest, LinkTargetsAreMadeAbsoluteAndCheckedForSafety)
{
    TempTree tree;
    tree.symlink("a/abs", "/etc/passwd");
    tree.symlink("a/rel", "x/./y");
    tree.symlink("a/up", "../x");
    tree.file("a/plain");
    tree.symlink("a/toplain", "plain");
    tree.symlink("a/tolink", tree.path("a/toplain"));  // the target is a link itself
    std::string target = "/";
    while (target.size() < 4094) {  // components within the name limit
        target += std::string(std::min<size_t>(200, 4093 - target.size()), 'b') + "/";
    }
    target.back() = 'c';
    ASSERT_EQ(target.size(), 4094u);
    tree.symlink("a/long", target);
    tree.symlink("a/toolong", target + "c");
    const std::pair<const char*, std::string> rows[] = {
        {"a/abs", "/etc/passwd"},
        {"a/rel", tree.path("a") + "/x/./y"},
        {"a/up", ""},
        {"a/tolink", ""},
        {"a/plain", ""},
        {"a/long", target},
        {"a/toolong", ""},
    };
    for (const auto& [link, expected] : rows) {
        EXPECT_EQ(getLnkTargetFilePath(tree.path(link)), expected) << link;
    }
    EXPECT_EQ(getLnkTargetFilePath(""), "");
}

TEST(PathResolutionTest, PathIdZeroOrMissingIsAllOnes)
{
    VetuRestoreInit store;
    store.identityDataUserConfigOid.set("/o", vetu_id_t{1, 2, 3});
    store.identityDataUserConfigSid.set("/s", vetu_id_t{1, 2, 0});
    const uint64_t none = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(getPathIdForFile(store, "/o", false), 3u);
    EXPECT_EQ(getPathIdForFile(store, "/s", true), none);
    EXPECT_EQ(getPathIdForFile(store, "", false), none);
}

}  // namespace
