#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/file_utils.h"
#include "restore/vetu_restore_context.h"
#include "support/log_capture.h"
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

TEST_F(ExectlHookTest, LoadedLibraryReceivesTheScanList)
{
    EXPECT_EQ(context.loadExectlSo(""), -1);
    ASSERT_EQ(context.loadExectlSo(kLibrary), 0);
    EXPECT_EQ(context.callExectlfunc("", {"/a"}, false), -1);
    EXPECT_EQ(context.callExectlfunc("/", {}, false), -2);
    EXPECT_EQ(context.callExectlfunc("/mnt", {"/mnt/a", "/mnt/b c", "/dev"}, false), 0);
    EXPECT_EQ(context.callExectlfunc("/mnt", {"/mnt/x"}, true), 0);
    EXPECT_EQ(readFile(kRecordFile), "scanlist /mnt 3\n  /mnt/a\n  /mnt/b c\n  /dev\n"
                         "update /mnt 1\n  /mnt/x\n");
}

// Without the library (its directory hidden in this test's namespace), or
// with one that lacks an entry point, the load fails and the hand-over calls
// nothing.
TEST_F(ExectlHookTest, MissingLibraryOrEntryPointMeansNoHookCalls)
{
    ASSERT_TRUE(sandbox::mountTmpfs(VETU_EXECTL_STUB_DIR));
    const char* errors[] = {"dlopen library libtamro2_exectl.so.0 error ",
                            "error, exectl_save_scanlist_for_update: "};
    for (const char* error : errors) {
        SCOPED_TRACE(error);
        LogCapture log;
        EXPECT_EQ(context.loadExectlSo(kLibrary), -1);
        EXPECT_EQ(log.countContaining(error, "ERROR"), 1u) << log.dump();
        EXPECT_EQ(context.callExectlfunc("/", {"/a"}, false), 0);
        EXPECT_EQ(context.callExectlfunc("/", {"/a"}, true), 0);
        EXPECT_EQ(readFile(kRecordFile), "");
        std::filesystem::copy_file(std::string(VETU_EXECTL_PARTIAL_DIR) + "/" + kLibrary,
                                   std::string(VETU_EXECTL_STUB_DIR) + "/" + kLibrary,
                                   std::filesystem::copy_options::overwrite_existing);
    }
}
