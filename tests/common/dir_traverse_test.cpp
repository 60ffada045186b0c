#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/dir_traverse.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

using Strings = std::vector<std::string>;

namespace {

Strings walk(const std::string& root, int expectedRc = 0)
{
    Strings out;
    EXPECT_EQ(traverseDirectory(root, out), expectedRc);
    return out;
}

Strings sorted(Strings v)
{
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

// Pre-order, every kind of entry listed, links not followed (except a root
// given through a link).
TEST(DirTraverseTest, PreOrderWithoutFollowingLinks)
{
    TempTree tree;
    tree.file("a/b/y");
    tree.dir("empty");
    tree.symlink("dirlink", tree.path("a"));
    tree.fifo("fifo");
    tree.socket("sock");
    const Strings out = walk(tree.root() + "/");
    EXPECT_EQ(sorted(out), sorted({tree.root(), tree.path("a"), tree.path("a/b"), tree.path("a/b/y"),
                                   tree.path("empty"), tree.path("dirlink"), tree.path("fifo"), tree.path("sock")}));
    const auto pos = [&](const std::string& rel) { return std::find(out.begin(), out.end(), rel) - out.begin(); };
    EXPECT_TRUE(pos(tree.root()) == 0 && pos(tree.path("a")) < pos(tree.path("a/b")) &&
                pos(tree.path("a/b")) < pos(tree.path("a/b/y")));
    const std::string link = tree.path("dirlink");
    EXPECT_EQ(sorted(walk(link)), sorted({link, link + "/b", link + "/b/y"}));
}

// Every tmpfs root is inode 1: a cycle set keyed on inodes alone would take
// the second mount for a cycle and skip it. A directory bind-mounted inside
// itself is a real cycle, skipped once.
TEST(DirTraverseTest, NestedMountsAndBindCycles)
{
    TempTree tree;
    const std::string outer = tree.dir("outer");
    ASSERT_TRUE(sandbox::mountTmpfs(outer));
    ASSERT_EQ(mkdir((outer + "/inner").c_str(), 0755), 0);
    ASSERT_TRUE(sandbox::mountTmpfs(outer + "/inner"));
    tree.file("outer/inner/f");
    const std::string d = tree.dir("d");
    tree.file("d/f");
    const std::string sub = tree.dir("d/sub");
    ASSERT_EQ(mount(d.c_str(), sub.c_str(), nullptr, MS_BIND, nullptr), 0);
    EXPECT_EQ(sorted(walk(outer)), sorted({outer, outer + "/inner", outer + "/inner/f"}));
    EXPECT_EQ(sorted(walk(d)), sorted({d, d + "/f"}));
}

TEST(DirTraverseTest, DepthLimitAndUnreadableRoot)
{
    TempTree tree;
    std::string path = tree.root();
    for (int i = 0; i < 515; ++i) {
        path += "/d";
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    const Strings out = walk(tree.root());
    ASSERT_EQ(out.size(), 512u);  // the root and 511 levels below it
    EXPECT_EQ(out.back().size(), tree.root().size() + 2 * 511);
    EXPECT_TRUE(walk(tree.path("missing"), -1).empty());
    EXPECT_TRUE(walk(tree.file("f"), -1).empty());
}
