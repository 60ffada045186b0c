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

namespace {

constexpr double kJobTimeLimit = 120;

// sid = oid = (pkg, 0, 0), tid 0 and no creator.
std::string packageLabel(uint64_t pkgId, uint32_t inheritFlag)
{
    return labelText({pkgId, 0, 0}, 0, {pkgId, 0, 0}, inheritFlag);
}

// A tree, packages that own part of it (as rpm lists them), and every entry with the label a
// run must give it: directories that hold packaged paths keep flag 7, all
// else gets 5.
struct PackagedTree {
    TempTree tree;
    StubRpm rpm{listingStubBody()};
    std::vector<std::pair<std::string, std::string>> labels;

    PackagedTree()
    {
        const uint64_t alpha = sm3Last64("alpha");
        const uint64_t beta = sm3Last64("beta-utils");
        writeListing(rpm, {"alpha-2.0-1.noarch", "beta-utils-1.2.3-4.el9.noarch"},
                     {{"alpha", {tree.dir("a"), tree.file("a/f1"), tree.file("a/f2")}},
                      {"beta-utils", {tree.file("b/c/g"), tree.file("xa/deep/f")}}});
        tree.file("u/h"), tree.file("top"), tree.dir("xb");
        const std::pair<const char*, std::string> expected[] = {
            {"", packageLabel(0, 7)},        {"a", packageLabel(alpha, 7)},      {"a/f1", packageLabel(alpha, 5)},
            {"a/f2", packageLabel(alpha, 5)}, {"b", packageLabel(0, 7)},          {"b/c", packageLabel(0, 7)},
            {"b/c/g", packageLabel(beta, 5)}, {"u", packageLabel(0, 5)},          {"u/h", packageLabel(0, 5)},
            {"top", packageLabel(0, 5)},     {"xa", packageLabel(0, 7)},         {"xa/deep", packageLabel(0, 7)},
            {"xa/deep/f", packageLabel(beta, 5)}, {"xb", packageLabel(0, 5)},
        };
        for (const auto& [rel, label] : expected) {
            labels.emplace_back(tree.path(rel), label);
        }
    }
};

}  // namespace

// A full run also labels "/dev": each gets a private one.
class JobsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox::mountPrivateDev());
        std::filesystem::create_directories(paths::kDataDir);
    }
};

// Stored package data that cannot even be looked at (a link loop) would
// leave the run on stale data: the job stops before it labels anything.
// Then two runs in a row: the first is handed an exclusion (what it means
// is the tree relabel's matter), the second replaces the package data the
// first stored.
TEST_F(JobsTest, RestoreDirLabelsEveryEntryFromThePackageDatabase)
{
    namespace fs = std::filesystem;
    PackagedTree t;
    fs::remove_all(paths::kDataDir);
    fs::create_symlink(paths::kDataDir, paths::kDataDir);
    EXPECT_EQ(describe(runLabelManager({"-d", t.tree.root()}, kJobTimeLimit)), "exit 1");
    EXPECT_EQ(ProgramLog().countContaining(paths::kPkgFileData, "ERROR"), 1u) << ProgramLog().dump();
    EXPECT_EQ(readXattr(t.labels.front().first), "");
    fs::remove_all(paths::kDataDir);
    fs::create_directories(paths::kDataDir);
    const std::string replaced = std::string(paths::kPkgFileData) + " is exist, remove it first.";
    const std::string xb = t.tree.path("xb");
    for (const bool second : {false, true}) {
        clearProgramLog();
        const std::vector<std::string> args = second ? std::vector<std::string>{"-d", t.tree.root()}
                                                     : std::vector<std::string>{"-d", t.tree.root(), "--excluded", xb};
        ASSERT_EQ(describe(runLabelManager(args, kJobTimeLimit)), "exit 0") << ProgramLog().dump();
        EXPECT_EQ(ProgramLog().has(replaced, "INFO"), second) << "the first run's import is stored for the next";
        EXPECT_EQ(readXattr(xb) == "", !second);
    }
    for (const auto& [path, label] : t.labels) {
        EXPECT_EQ(readXattr(path), label) << path;
    }
}

// The pairs themselves are proven where they are built; here: the stored
// identity data reaches the kernel, and without it nothing does.
TEST_F(JobsTest, SyncPathIdSendsTheStoredIdentityData)
{
    VetuRestoreInit store;
    store.identityDataDirSpathid.set("/usr", 0x10);
    ASSERT_EQ(store.storeIndentityData(), 0);
    id_pairs_stub::create();
    ASSERT_EQ(describe(runLabelManager({"--sync-path-id"}, kJobTimeLimit)), "exit 0");
    std::vector<IdPairsMessage> messages;
    ASSERT_TRUE(id_pairs_stub::parse(id_pairs_stub::bytes(), messages));
    EXPECT_EQ(messages.at(1).records.at(0).first, 0x10u);

    std::filesystem::remove(paths::kIdentityData);
    id_pairs_stub::create();
    EXPECT_EQ(describe(runLabelManager({"--sync-path-id"}, kJobTimeLimit)), "exit 1");
    EXPECT_EQ(id_pairs_stub::bytes(), "");
}
