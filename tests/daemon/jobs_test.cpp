// The one-shot jobs of the executable, run as a child in the test's
// namespace, checked against labels and bytes computed here.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/paths.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/id_pairs_stub.h"
#include "support/log_capture.h"
#include "support/run_process.h"
#include "support/sandbox.h"
#include "support/stub_program.h"
#include "support/temp_tree.h"

namespace fs = std::filesystem;

// A full run also labels "/dev": each gets a private one.
class JobsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox::mountPrivateDev());
        fs::create_directories(paths::kDataDir);
    }
};

// Stored package data that cannot even be looked at (a link loop) would
// leave the run on stale data: the job stops before it labels anything.
// Then two runs in a row: the first is handed an exclusion (what it means
// is the tree relabel's matter), the second replaces the package data the
// first stored. Directories that hold packaged paths keep flag 7, all else
// gets 5; sid = oid = (pkg, 0, 0).
TEST_F(JobsTest, RestoreDirLabelsEveryEntryFromThePackageDatabase)
{
    TempTree tree;
    StubRpm rpm{listingStubBody()};
    writeListing(rpm, {"alpha-2.0-1.noarch", "beta-utils-1.2.3-4.el9.noarch"},
                 {{"alpha", {tree.dir("a"), tree.file("a/f1")}},
                  {"beta-utils", {tree.file("b/c/g"), tree.file("xa/deep/f")}}});
    tree.file("u/h"), tree.dir("xb");
    const uint64_t alpha = sm3Last64("alpha"), beta = sm3Last64("beta-utils");
    const auto label = [](uint64_t pkg, uint32_t flag) { return labelText({pkg, 0, 0}, 0, {pkg, 0, 0}, flag); };
    const std::pair<const char*, std::string> expected[] = {
        {"", label(0, 7)},          {"a", label(alpha, 7)},  {"a/f1", label(alpha, 5)}, {"b", label(0, 7)},
        {"b/c/g", label(beta, 5)},  {"u", label(0, 5)},      {"u/h", label(0, 5)},      {"xa/deep", label(0, 7)},
        {"xa/deep/f", label(beta, 5)}, {"xb", label(0, 5)},
    };
    fs::remove_all(paths::kDataDir);
    fs::create_symlink(paths::kDataDir, paths::kDataDir);
    EXPECT_EQ(describe(runLabelManager({"-d", tree.root()}, 120)), "exit 1");
    EXPECT_EQ(ProgramLog().countContaining(paths::kPkgFileData, "ERROR"), 1u) << ProgramLog().dump();
    EXPECT_EQ(readXattr(tree.root()), "");
    fs::remove_all(paths::kDataDir);
    fs::create_directories(paths::kDataDir);
    const std::string replaced = std::string(paths::kPkgFileData) + " is exist, remove it first.";
    for (const bool second : {false, true}) {
        clearProgramLog();
        std::vector<std::string> args{"-d", tree.root()};
        if (!second) {
            args.insert(args.end(), {"--excluded", tree.path("xb")});
        }
        ASSERT_EQ(describe(runLabelManager(args, 120)), "exit 0") << ProgramLog().dump();
        EXPECT_EQ(ProgramLog().has(replaced, "INFO"), second) << "the first run's import is stored for the next";
        EXPECT_EQ(readXattr(tree.path("xb")) == "", !second);
    }
    for (const auto& [rel, label] : expected) {
        EXPECT_EQ(readXattr(tree.path(rel)), label) << rel;
    }
}

// The pairs themselves are proven where they are built; here: the stored
// identity data reaches the kernel, and without it nothing does.
TEST_F(JobsTest, SyncPathIdSendsTheStoredIdentityData)
{
    VetuRestoreInit store;
    store.identityDataDirSpathid.set("/usr", 0x10);
    ASSERT_EQ(store.storeIndentityData(), 0);
    for (const bool stored : {true, false}) {
        id_pairs_stub::create();
        EXPECT_EQ(describe(runLabelManager({"--sync-path-id"}, 120)), stored ? "exit 0" : "exit 1");
        std::vector<IdPairsMessage> messages;
        ASSERT_TRUE(id_pairs_stub::parse(id_pairs_stub::bytes(), messages));
        EXPECT_EQ(messages.size() > 1 && messages[1].records.at(0).first == 0x10u, stored);
        EXPECT_EQ(messages.empty(), !stored);
        fs::remove(paths::kIdentityData);
    }
}
