#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "restore/vetu_restore_context.h"
#include "support/expected_label.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

namespace {

void makeFile(const std::string& path)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "x";
}

}  // namespace

// /run in the test's namespace is a fresh tmpfs.
TEST(RunDefaultLabelTest, LabelsFilesAndDirsOnTheSameDeviceOnlyAndEndsAtCycles)
{
    makeFile("/run/a/b/c/deep");
    makeFile("/run/top.pid");
    ASSERT_EQ(symlink("/run/top.pid", "/run/a/link"), 0);
    ASSERT_EQ(mkfifo("/run/a/fifo", 0600), 0);
    std::filesystem::create_directories("/run/other");  // mounted on directly, no overlay on /run
    ASSERT_TRUE(sandbox::mountTmpfs("/run/other"));
    makeFile("/run/other/inner/f");
    // A bind mount of an ancestor has the same device: stepped over, not
    // descended for ever.
    std::filesystem::create_directories("/run/a/b/loop");
    ASSERT_EQ(mount("/run/a", "/run/a/b/loop", nullptr, MS_BIND, nullptr), 0);

    ASSERT_EQ(VetuRestoreContext::getInstance().setDefalutLabelRecursive("/run"), 0);

    for (const char* path : {"/run", "/run/a", "/run/a/b", "/run/a/b/c", "/run/a/b/c/deep", "/run/top.pid"}) {
        EXPECT_EQ(readXattr(path), labelText({}, 0, {}, 5)) << path;
    }
    // A link cannot take a label without following it; the walk goes on.
    EXPECT_EQ(readXattr("/run/a/link"), "");
    EXPECT_EQ(readXattr("/run/a/fifo"), "");
    // Another file system under /run keeps its labels and is not entered.
    EXPECT_EQ(readXattr("/run/other"), "");
    EXPECT_EQ(readXattr("/run/other/inner/f"), "");
    EXPECT_EQ(VetuRestoreContext::getInstance().setDefalutLabelRecursive("/run/none"), -1);
}
