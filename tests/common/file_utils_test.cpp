#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <string>

#include "common/file_utils.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

// Links: isDirectory and isSymlink look at the link itself, fileExists
// follows it.
TEST(FileUtilsTest, PredicatesOnLinks)
{
    TempTree tree;
    const std::string dirLink = tree.symlink("dl", tree.dir("d"));
    const std::string dangling = tree.symlink("dangling", tree.path("none"));
    EXPECT_TRUE(isDirectory(tree.path("d").c_str()));
    EXPECT_FALSE(isDirectory(dirLink.c_str()));
    EXPECT_TRUE(isSymlink(dangling.c_str()));
    EXPECT_EQ(fileExists(dirLink.c_str()), 0);
    EXPECT_EQ(fileExists(dangling.c_str()), -1);
    uint64_t inode = 0;
    EXPECT_EQ(getFileInode(dangling, inode), 0);
    EXPECT_NE(inode, 0u);

    const std::string ro = "/tmp/ro";
    ASSERT_TRUE(sandbox::mountTmpfs(ro));
    ASSERT_EQ(mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_TRUE(isFilesystemReadOnly(ro.c_str()));
    EXPECT_FALSE(isFilesystemReadOnly("/tmp"));
    EXPECT_FALSE(isFilesystemReadOnly("/tmp/none"));
}

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
    const std::string small = "/tmp/small";
    ASSERT_TRUE(sandbox::mountTmpfs(small));
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", MS_REMOUNT, "size=4k"), 0);
    EXPECT_FALSE(writeFile(small + "/big", std::string(64 * 1024, 'x')));
}
