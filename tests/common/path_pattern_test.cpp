#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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
    tree.file("d/x1");
    tree.file("d/.x2");
    tree.file("d/y");
    // Unsafe matches (a link, a metacharacter) are dropped with a warning.
    EXPECT_EQ(searchFilesByPattern(tree.path("*.log")), Strings({a, b}));
    EXPECT_TRUE(searchFilesByPattern(tree.path("*.none")).empty());
    // Hidden entries match too; a missing directory throws.
    Strings got = listMatchingEntries(tree.path("d/*x*"));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, Strings({tree.path("d/.x2"), tree.path("d/x1")}));
    EXPECT_THROW(listMatchingEntries(tree.path("none/*")), std::filesystem::filesystem_error);
    // Expanded and sorted; a pattern without a match stays as given.
    EXPECT_EQ(expandWildcardPaths({tree.path("*.log"), tree.path("d"), tree.path("?.txt")}),
              Strings({tree.path("?.txt"), a, b, tree.path("bad:name.log"), tree.path("c.log"), tree.path("d")}));
}
