#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/path_pattern.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

using Strings = std::vector<std::string>;

TEST(PathPatternTest, SearchFilesByPatternFiltersUnsafeResults)
{
    TempTree tree;
    const std::string a = tree.file("a.log");
    const std::string b = tree.file("b.log");
    tree.symlink("c.log", a);
    tree.file("bad:name.log");
    tree.file("other.txt");
    LogCapture log;
    EXPECT_EQ(searchFilesByPattern(tree.path("*.log")), Strings({a, b}));
    EXPECT_TRUE(log.has("searchFilesByPattern: skipping unsafe path from glob result: " + tree.path("c.log"), "WARN"));
    EXPECT_TRUE(log.has("searchFilesByPattern: skipping unsafe path from glob result: " + tree.path("bad:name.log"),
                        "WARN"));
    EXPECT_TRUE(searchFilesByPattern(tree.path("*.none")).empty());
    EXPECT_TRUE(log.has("No matches found.", "ERROR"));
}

TEST(PathPatternTest, ListMatchingEntries)
{
    TempTree tree;
    tree.file("d/x1");
    tree.file("d/.x2");
    tree.file("d/y");
    Strings got = listMatchingEntries(tree.path("d/*x*"));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, Strings({tree.path("d/.x2"), tree.path("d/x1")}));
    EXPECT_THROW(listMatchingEntries(tree.path("none/*")), std::filesystem::filesystem_error);
}

TEST(PathPatternTest, ExpandWildcardPathsSorts)
{
    TempTree tree;
    tree.file("etc/b.conf");
    tree.file("etc/a.conf");
    tree.file("etc/c.txt");
    tree.dir("mid");
    const Strings got = expandWildcardPaths({tree.path("etc/*.conf"), tree.path("mid"), tree.path("etc/?.txt")});
    EXPECT_EQ(got, Strings({tree.path("etc/?.txt"), tree.path("etc/a.conf"), tree.path("etc/b.conf"),
                            tree.path("mid")}));
}
