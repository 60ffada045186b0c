#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "common/path_utils.h"

using Strings = std::vector<std::string>;

// Each row: what a helper gave, what it must give.
TEST(PathUtilsTest, LexicalHelpers)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {normalizePath(""), ""},
        {normalizePath("/*"), "/"},
        {normalizePath("/a//b/*"), "/a/b"},
        {normalizePath("/a/*/b"), "/a/*/b"},
        {normalizePath("a//b/"), "a/b"},
        {normalizePath("/a/./b/../c"), "/a/./b/../c"},
        {normalizePath("/a/b*"), "/a/b*"},
        {removePrefix("/usr", "/usr"), ""},
        {removePrefix("/usr", "/usr/"), "/usr"},
        {removePrefix("/usr/bin", "/usr"), "/bin"},
        {replaceBeginString("/tmprootfs", "/tmproot", "/sysroot"), "/sysrootfs"},
        {replaceBeginString("/a/tmproot", "/tmproot", "/sysroot"), "/a/tmproot"},
        {replaceBeginString("/x", "", "/sysroot"), "/x"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].first, cases[i].second) << "row " << i;
    }
    Strings out = {"stale"};
    splitString("a::b:", ':', out);
    EXPECT_EQ(out, Strings({"a", "b"}));
    splitString(":::", ':', out);
    EXPECT_TRUE(out.empty());
}

TEST(PathUtilsTest, WildcardsAndSubPaths)
{
    const std::vector<std::pair<bool, bool>> cases = {
        {containsWildcard("/a/*"), true},
        {containsWildcard("/a/\\*"), false},
        {containsWildcard("/a/\\\\*"), true},
        {isWildcardMatch("/usr/*", "/usr/bin"), true},
        {isWildcardMatch("/usr/*", "/usr/bin/ls"), false},
        {isWildcardMatch("/usr?bin", "/usr/bin"), false},
        {isWildcardMatch("/etc/*", "/etc/.hidden"), true},
        {isWildcardMatch("/a\\*", "/a*"), true},
        {isWildcardMatch("/usr/bin", "/usr/*"), false},  // pattern first
        {isSubPath("/a", "/a/b"), true},
        {isSubPath("/a", "/a/"), false},
        {isSubPath("/a", "/ab"), false},
        {isSubPath("/a/b", "/a"), false},
        {isSubPath("/", "/a"), true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].first, cases[i].second) << "row " << i;
    }
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    EXPECT_TRUE(isSubPath(cwd, "rel/x"));
}
