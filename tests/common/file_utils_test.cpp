#include <gtest/gtest.h>

#include <sys/mount.h>

#include <string>

#include "common/file_utils.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

// Whole files, binary content kept; a refused or short write (a full device,
// a full file system) is a failure, not a success.
TEST(FileUtilsTest, ReadAndWriteWholeFiles)
{
    TempTree tree;
    const std::string path = tree.path("f");
    const std::string binary("a\0b\r\n\xff", 6);
    EXPECT_TRUE(writeFile(path, binary));
    EXPECT_EQ(readFileToString(path), binary);
    EXPECT_TRUE(writeFile(path, "short"));
    EXPECT_EQ(readFile(path), "short");

    EXPECT_EQ(readFile(tree.path("none")), "");
    EXPECT_FALSE(writeFile(tree.path("no/dir"), "x"));
    EXPECT_FALSE(writeFile("/dev/full", "data"));
    const std::string small = tree.path("small");
    ASSERT_TRUE(sandbox::mountTmpfs(small));
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", MS_REMOUNT, "size=4k"), 0);
    EXPECT_FALSE(writeFile(small + "/big", std::string(64 * 1024, 'x')));
}
