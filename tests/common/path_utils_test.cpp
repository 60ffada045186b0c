#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/path_utils.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

using Strings = std::vector<std::string>;

TEST(PathUtilsTest, NormalizePath)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},           {"/", "/"},         {"/*", "/"},          {"//", "/"},
        {"/a//b/*", "/a/b"}, {"/a/*/b", "/a/*/b"}, {"a//b/", "a/b"},     {"/a/./b/../c", "/a/./b/../c"},
        {"*", "*"},         {"/a/b*", "/a/b*"}, {"///a///", "/a"},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(normalizePath(in), want) << in;
    }
}

TEST(PathUtilsTest, SplitStringDropsEmptyPieces)
{
    Strings out = {"stale"};
    splitString(":a:", ':', out);
    EXPECT_EQ(out, Strings({"a"}));
    splitString("a::b:", ':', out);
    EXPECT_EQ(out, Strings({"a", "b"}));
    splitString(":::", ':', out);
    EXPECT_TRUE(out.empty());
    LogCapture log;
    out = {"stale"};
    splitString("", ':', out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(log.has("input string is empty", "DEBUG"));
}

TEST(PathUtilsTest, PrefixHelpers)
{
    EXPECT_EQ(removePrefix("/usr", "/usr"), "");
    EXPECT_EQ(removePrefix("/usr", "/usr/"), "/usr");
    EXPECT_EQ(removePrefix("/usr/bin", "/usr"), "/bin");
    EXPECT_EQ(removePrefix("/usr/bin", ""), "/usr/bin");
    EXPECT_EQ(replaceBeginString("/tmprootfs", "/tmproot", "/sysroot"), "/sysrootfs");
    EXPECT_EQ(replaceBeginString("/a/tmproot", "/tmproot", "/sysroot"), "/a/tmproot");
    LogCapture log;
    EXPECT_EQ(replaceBeginString("", "/tmproot", "/sysroot"), "");
    EXPECT_EQ(replaceBeginString("/x", "", "/sysroot"), "/x");
    EXPECT_TRUE(log.has("text is empty", "ERROR"));
    EXPECT_TRUE(log.has("oldStr is empty", "ERROR"));
    EXPECT_EQ(trimString(" \t\r\n a b \n"), "a b");
    EXPECT_EQ(trimString(" \t "), "");
    EXPECT_EQ(removeBackslashes("\\a\\\\b"), "ab");
    EXPECT_TRUE(containsBackslash("a\\b"));
    EXPECT_FALSE(containsBackslash("ab"));
}

TEST(PathUtilsTest, WildcardDetectionAndMatch)
{
    EXPECT_TRUE(containsWildcard("/a/*"));
    EXPECT_TRUE(containsWildcard("/a?"));
    EXPECT_TRUE(containsWildcard("/a]"));
    EXPECT_FALSE(containsWildcard("/a/\\*"));
    EXPECT_TRUE(containsWildcard("/a/\\\\*"));
    EXPECT_FALSE(containsWildcard("/plain"));

    EXPECT_TRUE(isWildcardMatch("/usr/*", "/usr/bin"));
    EXPECT_FALSE(isWildcardMatch("/usr/*", "/usr/bin/ls"));
    EXPECT_FALSE(isWildcardMatch("/usr?bin", "/usr/bin"));
    EXPECT_FALSE(isWildcardMatch("/usr[/]bin", "/usr/bin"));
    EXPECT_TRUE(isWildcardMatch("/etc/*", "/etc/.hidden"));
    EXPECT_TRUE(isWildcardMatch("/a\\*", "/a*"));
    EXPECT_FALSE(isWildcardMatch("/usr/bin", "/usr/*"));  // pattern first
}

TEST(PathUtilsTest, IsSubPath)
{
    EXPECT_TRUE(isSubPath("/a", "/a/b"));
    EXPECT_TRUE(isSubPath("/a/", "/a/b"));
    EXPECT_FALSE(isSubPath("/a", "/a"));
    EXPECT_FALSE(isSubPath("/a", "/a/"));
    EXPECT_FALSE(isSubPath("/a", "/ab"));
    EXPECT_FALSE(isSubPath("/a/b", "/a"));
    EXPECT_TRUE(isSubPath("/", "/a"));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    EXPECT_TRUE(isSubPath(cwd, "rel/x"));
}

TEST(PathUtilsTest, GetRealPath)
{
    TempTree tree;
    tree.dir("real/sub");
    tree.symlink("link", tree.path("real"));
    tree.symlink("loop", tree.path("loop"));
    LogCapture log;
    EXPECT_EQ(getRealPath(tree.root() + "//link/./sub/"), tree.path("real/sub"));
    EXPECT_EQ(getRealPath(""), "");
    EXPECT_TRUE(log.has("path is empty", "WARN"));
    EXPECT_EQ(getRealPath(tree.path("missing")), "");
    EXPECT_TRUE(log.has("file is not exists, " + tree.path("missing"), "WARN"));
    // A link loop is an error of the existence test itself: logged, not thrown.
    EXPECT_EQ(getRealPath(tree.path("loop")), "");
    EXPECT_EQ(log.countContaining("Resolve realpath failed for " + tree.path("loop") + ": "), 1u) << log.dump();
}

TEST(PathUtilsTest, GetRealPathUnreadableParentIsNotThrown)
{
    TempTree tree;
    tree.file("locked/inner/f");
    chmod(tree.path("locked").c_str(), 0);
    // Root passes permission checks, so drop the capability in a child.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        const std::string real = getRealPath(tree.path("locked/inner/f"));
        _exit(real.empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PathUtilsTest, GetLinkRealPath)
{
    TempTree tree;
    tree.dir("real");
    tree.symlink("dirlink", tree.path("real"));
    tree.symlink("real/lnk", "/etc/passwd");
    EXPECT_EQ(getLinkRealPath(tree.path("dirlink/lnk")), tree.path("real/lnk"));
    EXPECT_EQ(getLinkRealPath(tree.path("dirlink")), tree.path("dirlink"));
    EXPECT_EQ(getLinkRealPath(""), "");
    LogCapture log;
    EXPECT_EQ(getLinkRealPath(tree.path("nodir/x")), "");
    EXPECT_EQ(log.countContaining("error: "), 1u);
}

TEST(PathUtilsTest, FindFirstValidParentDir)
{
    TempTree tree;
    tree.dir("a/b");
    tree.file("a/file");
    EXPECT_EQ(findFirstValidParentDir("/etc/*/conf"), "/etc");
    EXPECT_EQ(findFirstValidParentDir("/no/such/dir"), "/");
    EXPECT_EQ(findFirstValidParentDir(tree.path("a/b/c?d/e")), tree.path("a/b"));
    EXPECT_EQ(findFirstValidParentDir(tree.path("a/file/x")), tree.path("a"));
    EXPECT_EQ(findFirstValidParentDir(tree.path("a/[b]")), tree.path("a"));
    EXPECT_EQ(findFirstValidParentDir(""), "");
    EXPECT_EQ(findFirstValidParentDir("no-such-rel/x"), "");
}
