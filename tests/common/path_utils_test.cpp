#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "common/path_utils.h"

using Strings = std::vector<std::string>;

// Each row: what a helper gave, what it must give.
TEST(PathUtilsTest, LexicalHelpers)
{
    const std::vector<std::pair<std::string, std::string>> texts = {
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
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i].first, texts[i].second) << "row " << i;
    }
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    const std::vector<std::pair<bool, bool>> answers = {
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
        {isSubPath(cwd, "rel/x"), true},
    };
    for (size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i].first, answers[i].second) << "row " << i;
    }
    Strings out = {"stale"};
    splitString("a::b:", ':', out);
    EXPECT_EQ(out, Strings({"a", "b"}));
    splitString(":::", ':', out);
    EXPECT_TRUE(out.empty());
}
