#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/path_pattern.h"
#include "support/run_process.h"
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
    // A pattern without components names the root, and reads no entry.
    EXPECT_TRUE(searchFilesByPatternBounded("/", 0, 1, out));
    EXPECT_EQ(out, Strings({"/"}));
    // d holds . .. a b via dangling: six entries to read.
    EXPECT_FALSE(searchFilesByPatternBounded(tree.path("d/*"), 5, 100, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(searchFilesByPatternBounded(tree.path("d/*"), 6, 3, out));
    EXPECT_FALSE(searchFilesByPatternBounded(tree.path("d/*"), 6, 2, out));
}

// A wildcard level per directory of a deep tree: the walk keeps one
// directory open at a time, costs a few system calls per level, and takes a
// directory it cannot open for want of descriptors as a failure, not as
// nothing found.
TEST(PathPatternTest, DeepPatternHoldsOneDirectoryOpenAtATime)
{
    constexpr int kDepth = 300;
    TempTree tree;
    std::string rel;
    std::string pattern = tree.root();
    for (int i = 0; i < kDepth; ++i) {
        rel += "d/";
        pattern += "/*";
    }
    const std::string deepest = tree.file(rel + "f");
    pattern += "/*";
    Strings out;
    ASSERT_TRUE(searchFilesByPatternBounded(pattern, SIZE_MAX, 10, out));
    ASSERT_EQ(out, Strings({deepest}));

    const long calls = countSystemCalls(
        [&pattern] { forEachPatternMatch(pattern, SIZE_MAX, [](const std::string&) { return true; }); }, 60);
    EXPECT_GT(calls, kDepth);
    EXPECT_LT(calls, 10 * kDepth);

    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    const auto walkWithRoomFor = [&](int descriptors) {
        rlimit limited = saved;
        limited.rlim_cur = static_cast<rlim_t>(lowestFree + descriptors);
        setrlimit(RLIMIT_NOFILE, &limited);
        const bool walked = searchFilesByPatternBounded(pattern, SIZE_MAX, 10, out);
        setrlimit(RLIMIT_NOFILE, &saved);
        return walked;
    };
    EXPECT_TRUE(walkWithRoomFor(1));
    EXPECT_EQ(out, Strings({deepest}));
    EXPECT_FALSE(walkWithRoomFor(0));
    EXPECT_TRUE(out.empty());
}
