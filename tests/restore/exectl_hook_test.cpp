#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/file_utils.h"
#include "restore/vetu_restore_context.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

namespace {

constexpr const char kLibrary[] = "libtamro2_exectl.so.0";
constexpr const char kRecordFile[] = "/tmp/exectl-calls.log";

class ExectlHookTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("VETU_EXECTL_STUB_LOG", kRecordFile, 1);
        std::filesystem::remove(kRecordFile);
    }
    VetuRestoreContext& context = VetuRestoreContext::getInstance();
};

}  // namespace

// The scan list's hand-over is shown by the relabel runs; the update list
// has an entry point of its own.
TEST_F(ExectlHookTest, UpdateListReachesItsEntryPoint)
{
    ASSERT_EQ(context.loadExectlSo(kLibrary), 0);
    EXPECT_EQ(context.callExectlfunc("/mnt", {"/mnt/x"}, true), 0);
    EXPECT_EQ(readFile(kRecordFile), "update /mnt 1\n  /mnt/x\n");
}

// With a library that lacks an entry point the load fails and the hand-over
// calls nothing (without any library: the tree relabel run shows it).
TEST_F(ExectlHookTest, MissingEntryPointMeansNoHookCalls)
{
    ASSERT_TRUE(sandbox::mountTmpfs(VETU_EXECTL_STUB_DIR));
    std::filesystem::copy_file(std::string(VETU_EXECTL_PARTIAL_DIR) + "/" + kLibrary,
                               std::string(VETU_EXECTL_STUB_DIR) + "/" + kLibrary);
    EXPECT_EQ(context.loadExectlSo(kLibrary), -1);
    EXPECT_EQ(context.callExectlfunc("/", {"/a"}, false), 0);
    EXPECT_EQ(context.callExectlfunc("/", {"/a"}, true), 0);
    EXPECT_EQ(readFile(kRecordFile), "");
}
