#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "common/file_utils.h"
#include "common/mount_table.h"
#include "restore/vetu_restore_context.h"
#include "support/run_process.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

// The attribute's path as the program sees it (/sysroot is bound to a temporary
// tree here), when that exists; a missing, empty or non-regular attribute file
// (a planted FIFO must not block) and a path that does not exist give "".
TEST(ProcessExePathTest, AttributePathBecomesTheVisiblePath)
{
    NamedProcess child("worker");
    ASSERT_GT(child.pid(), 0);
    const int pid = child.pid();
    TempTree seen;
    seen.file("x");
    ASSERT_TRUE(sandbox::mountTmpfs("/var/opt/sovi-applications"));
    ASSERT_EQ(mkdir("/var/opt/sovi-applications/a", 0755), 0);
    ASSERT_TRUE(writeFile("/var/opt/sovi-applications/a/x", ""));
    {
        std::unique_lock<std::shared_mutex> guard(bindMountMutex);
        bindMountMap = {{"/sysroot", seen.root()}};
    }
    // Without the framework there is no attribute file.
    EXPECT_EQ(VetuRestoreContext::getProcessExecutableOrScriptPath(pid), "");
    ASSERT_TRUE(sandbox::mountProcAttr(pid));
    const std::string attr = "/proc/" + std::to_string(pid) + "/attr/vetu/path";
    struct Case {
        const char* content;
        std::string expected;
    } cases[] = {
        {"", ""},
        {"/tmproot//x", seen.path("x")},  // /sysroot//x, translated, then normalised
        {"/tmproot/var/opt/sovi-applications/a/x", "/var/opt/sovi-applications/a/x"},
        {"/tmproot/var/opt/sovi-applications/a/gone", ""},
        {"/tmproot/gone", ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(writeFile(attr, c.content));
        EXPECT_EQ(VetuRestoreContext::getProcessExecutableOrScriptPath(pid), c.expected) << c.content;
    }
    ASSERT_EQ(unlink(attr.c_str()), 0);
    ASSERT_EQ(mkfifo(attr.c_str(), 0600), 0);
    EXPECT_EQ(VetuRestoreContext::getProcessExecutableOrScriptPath(pid), "");
}
