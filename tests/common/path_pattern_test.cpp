#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/path_pattern.h"
#include "support/temp_tree.h"

using Strings = std::vector<std::string>;

TEST(PathPatternTest, GlobHelpers)
{
    TempTree tree;
    const std::string a = tree.file("a.log");
    const std::string b = tree.file("b.log");
    tree.symlink("c.log", a);
    tree.file("bad:name.log");
    tree.file("other.txt");
    // Unsafe matches (a link, a metacharacter) are dropped with a warning.
    EXPECT_EQ(searchFilesByPattern(tree.path("*.log")), Strings({a, b}));
    EXPECT_TRUE(searchFilesByPattern(tree.path("*.none")).empty());
    // Expanded and sorted; a pattern without a match stays as given.
    EXPECT_EQ(expandWildcardPaths({tree.path("*.log"), tree.path("d"), tree.path("?.txt")}),
              Strings({tree.path("?.txt"), a, b, tree.path("bad:name.log"), tree.path("c.log"), tree.path("d")}));
}

TEST(PathPatternTest, BoundedGlobListsNoLinkAndGivesUpPastItsBudget)
{
    TempTree tree;
    const std::string a = tree.file("d/a");
    const std::string b = tree.file("d/b");
    tree.file("elsewhere/secret");
    tree.symlink("d/via", tree.path("elsewhere"));       // a directory reached through a link
    const std::string dangling = tree.symlink("d/dangling", tree.path("none"));  // names only itself
    tree.symlink("linked", tree.path("elsewhere"));      // a link in the pattern's literal part
    Strings out;
    EXPECT_TRUE(searchFilesByPatternBounded(tree.path("d/*"), 100, 100, out));
    EXPECT_EQ(out, Strings({a, b, dangling}));
    EXPECT_TRUE(searchFilesByPatternBounded(tree.path("./d/a*"), 100, 100, out));
    EXPECT_EQ(out, Strings({tree.path("./d/a")}));
    EXPECT_TRUE(searchFilesByPatternBounded(tree.path("d/*/secret"), 100, 100, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(searchFilesByPatternBounded(tree.path("linked/*"), 100, 100, out));
    EXPECT_TRUE(out.empty());
    // A trailing '/' names directories alone, with the '/' as glob gives them.
    EXPECT_TRUE(searchFilesByPatternBounded(tree.path("*/"), 100, 100, out));
    EXPECT_EQ(out, Strings({tree.path("d/"), tree.path("elsewhere/")}));
    // d holds . .. a b via dangling: six entries to read.
    EXPECT_FALSE(searchFilesByPatternBounded(tree.path("d/*"), 5, 100, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(searchFilesByPatternBounded(tree.path("d/*"), 7, 3, out));
    EXPECT_FALSE(searchFilesByPatternBounded(tree.path("d/*"), 7, 2, out));
}
