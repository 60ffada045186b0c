// The one-shot jobs of the executable, run as a child in the test's
// namespace, checked against labels and bytes computed here from first
// principles (SM3 straight from the crypto library).
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/paths.h"
#include "store/vetu_restore_init.h"
#include "support/id_pairs_stub.h"
#include "support/program_log.h"
#include "support/rpm_db.h"
#include "support/run_process.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

namespace {

constexpr double kJobTimeLimit = 120;

uint64_t sm3Last64(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), digest, &length, EVP_get_digestbyname("SM3"), nullptr), 1);
    uint64_t value = 0;
    for (unsigned int i = 24; i < 32; ++i) {
        value = (value << 8) | digest[i];
    }
    return value;
}

// sid:tid:oid:inherit_flag:create_oid with sid = oid = (pkg, 0, 0), tid 0
// and no creator.
std::string packageLabel(uint64_t pkgId, uint32_t inheritFlag)
{
    char id[64];
    snprintf(id, sizeof(id), "%016lx-%016lx-%016lx", pkgId, 0ul, 0ul);
    char text[256];
    snprintf(text, sizeof(text), "%s:%08x:%s:%08x:%016lx-%016lx-%016lx", id, 0u, id, inheritFlag, 0ul, 0ul, 0ul);
    return text;
}

// A full run also labels "/dev": give it one of its own, with the few nodes
// the program needs.
void shadowDev()
{
    ASSERT_TRUE(sandbox::mountTmpfs("/dev"));
    const struct {
        const char* name;
        unsigned minor;
    } nodes[] = {{"/dev/null", 3}, {"/dev/zero", 5}, {"/dev/full", 7}, {"/dev/random", 8}, {"/dev/urandom", 9}};
    for (const auto& node : nodes) {
        ASSERT_EQ(mknod(node.name, S_IFCHR | 0666, makedev(1, node.minor)), 0) << node.name;
    }
}

void makeDataDir()
{
    std::filesystem::create_directories(paths::kDataDir);
}

// A tree and packages that own part of it.
struct PackagedTree {
    TempTree tree;
    TestRpmDb db;
    std::string alphaDir, alphaFile1, alphaFile2, betaFile, looseDir, looseFile, topFile;
    std::string excludedA, excludedB, excludedFile;

    PackagedTree()
    {
        alphaDir = tree.dir("a");
        alphaFile1 = tree.file("a/f1", "1");
        alphaFile2 = tree.file("a/f2", "2");
        betaFile = tree.file("b/c/g", "3");
        looseFile = tree.file("u/h", "4");
        looseDir = tree.path("u");
        topFile = tree.file("top", "5");
        excludedA = tree.dir("xa");
        excludedFile = tree.file("xa/deep/f", "6");
        excludedB = tree.dir("xb");
        db.add({{"alpha", "2.0", "1", {alphaDir}, {alphaFile1, alphaFile2}},
                {"beta-utils", "1.2.3", "4.el9", {}, {betaFile, excludedFile}}});
    }

    // Every entry of the tree with the label a run must give it.
    std::vector<std::pair<std::string, std::string>> expectedLabels() const
    {
        const uint64_t alpha = sm3Last64("alpha");
        const uint64_t beta = sm3Last64("beta-utils");
        // Directories that hold packaged paths keep flag 7; all else gets 5.
        return {
            {tree.root(), packageLabel(0, 7)},
            {alphaDir, packageLabel(alpha, 7)},
            {alphaFile1, packageLabel(alpha, 5)},
            {alphaFile2, packageLabel(alpha, 5)},
            {tree.path("b"), packageLabel(0, 7)},
            {tree.path("b/c"), packageLabel(0, 7)},
            {betaFile, packageLabel(beta, 5)},
            {looseDir, packageLabel(0, 5)},
            {looseFile, packageLabel(0, 5)},
            {topFile, packageLabel(0, 5)},
        };
    }
};

}  // namespace

TEST(JobsTest, RestoreDirLabelsEveryEntryFromThePackageDatabase)
{
    shadowDev();
    makeDataDir();
    PackagedTree t;

    const ProcessResult result = runLabelManager({"-d", t.tree.root()}, kJobTimeLimit);

    ASSERT_EQ(describe(result), "exit 0") << ProgramLog().dump();
    for (const auto& [path, label] : t.expectedLabels()) {
        EXPECT_EQ(readXattr(path), label) << path;
    }
    const uint64_t beta = sm3Last64("beta-utils");
    EXPECT_EQ(readXattr(t.excludedA), packageLabel(0, 7));
    EXPECT_EQ(readXattr(t.tree.path("xa/deep")), packageLabel(0, 7));
    EXPECT_EQ(readXattr(t.excludedFile), packageLabel(beta, 5));
    EXPECT_EQ(readXattr(t.excludedB), packageLabel(0, 5));
    const ProgramLog log;
    EXPECT_LT(log.indexOf("vetu label restore begin.", "INFO"), log.indexOf("vetu label restore end.", "INFO"));
    EXPECT_FALSE(log.has(std::string(paths::kPkgFileData) + " is exist, remove it first."));
    // The fresh import was stored for the next start.
    EXPECT_TRUE(std::filesystem::exists(paths::kPkgFileData));
}

TEST(JobsTest, RestoreDirSkipsExcludedDirectories)
{
    shadowDev();
    makeDataDir();
    PackagedTree t;

    const ProcessResult result =
        runLabelManager({"-d", t.tree.root(), "--excluded", t.excludedA, t.excludedB}, kJobTimeLimit);

    ASSERT_EQ(describe(result), "exit 0") << ProgramLog().dump();
    for (const auto& [path, label] : t.expectedLabels()) {
        EXPECT_EQ(readXattr(path), label) << path;
    }
    for (const auto& path : {t.excludedA, t.excludedB, t.excludedFile, t.tree.path("xa/deep")}) {
        EXPECT_EQ(readXattr(path), "") << path;
    }
    const ProgramLog log;
    EXPECT_TRUE(log.has("exclude dir, " + t.excludedA, "INFO"));
    EXPECT_TRUE(log.has("exclude dir, " + t.excludedB, "INFO"));
}

// Stored package data is removed first, so the run imports afresh.
TEST(JobsTest, RestoreDirReplacesStoredPackageData)
{
    shadowDev();
    makeDataDir();
    PackagedTree t;
    std::ofstream(paths::kPkgFileData) << "stale";

    const ProcessResult result = runLabelManager({"-d", t.tree.root(), "y", "z"}, kJobTimeLimit);

    ASSERT_EQ(describe(result), "exit 0");
    const ProgramLog log;
    EXPECT_TRUE(log.has(std::string(paths::kPkgFileData) + " is exist, remove it first.", "INFO")) << log.dump();
    EXPECT_EQ(readXattr(t.alphaFile1), packageLabel(sm3Last64("alpha"), 5));
}

// Stored package data that cannot be removed would leave the run on stale
// data: the job stops before it labels anything.
TEST(JobsTest, RestoreDirStopsWhenStoredPackageDataCannotBeRemoved)
{
    shadowDev();
    makeDataDir();
    PackagedTree t;
    std::filesystem::create_directories(std::string(paths::kPkgFileData) + "/blocker");

    const ProcessResult result = runLabelManager({"-d", t.tree.root()}, kJobTimeLimit);

    EXPECT_EQ(describe(result), "exit 1");
    const ProgramLog log;
    EXPECT_EQ(log.countContaining(std::string("can not remove ") + paths::kPkgFileData, "ERROR"), 1u)
        << log.dump();
    EXPECT_FALSE(log.has("vetu label restore end."));
    EXPECT_EQ(readXattr(t.alphaFile1), "");
    EXPECT_EQ(readXattr(t.tree.root()), "");
}

// The same when it cannot even be told whether the data is there.
TEST(JobsTest, RestoreDirStopsWhenStoredPackageDataCannotBeChecked)
{
    shadowDev();
    std::filesystem::create_directories(paths::kLabelConfDir);
    std::filesystem::create_symlink(paths::kDataDir, paths::kDataDir);  // a loop
    PackagedTree t;

    const ProcessResult result = runLabelManager({"-d", t.tree.root()}, kJobTimeLimit);

    EXPECT_EQ(describe(result), "exit 1");
    const ProgramLog log;
    EXPECT_EQ(log.countContaining(std::string("can not check ") + paths::kPkgFileData, "ERROR"), 1u) << log.dump();
    EXPECT_EQ(readXattr(t.alphaFile1), "");
}

// "-s" labels what the stored identity data names, and nothing else.
TEST(JobsTest, RestoreWithPoliciesLabelsFilesThatHaveOne)
{
    makeDataDir();
    TempTree tree;
    const std::string withPolicy = tree.file("policy/f", "x");
    const std::string without = tree.file("plain/g", "y");
    VetuRestoreInit::getInstance().identityDataFileSid.set(withPolicy, vetu_id_t{0x1111, 0x2222, 0x3333});
    ASSERT_EQ(VetuRestoreInit::getInstance().storeIndentityData(), 0);

    const ProcessResult result = runLabelManager({"-s"}, kJobTimeLimit);

    ASSERT_EQ(describe(result), "exit 0");
    const std::string label = readXattr(withPolicy);
    ASSERT_EQ(label.size(), 170u) << label;
    EXPECT_EQ(label.substr(17, 16), "0000000000002222") << label;  // sid.file_id
    EXPECT_EQ(readXattr(without), "");
    const ProgramLog log;
    EXPECT_LT(log.indexOf("vetu label restore for files with policies, begin.", "INFO"),
              log.indexOf("vetu label restore for files with policies, end.", "INFO"))
        << log.dump();
}

TEST(JobsTest, SyncPathIdWritesThePairsOfTheStoredIdentityData)
{
    makeDataDir();
    auto& store = VetuRestoreInit::getInstance();
    store.identityDataDirSpathid.set("/usr", 0x10);
    store.identityDataDirSpathid.set("/usr/lib", 0x11);
    store.identityDataDirWOpathid.set("/srv/*", 0x20);
    ASSERT_EQ(store.storeIndentityData(), 0);
    id_pairs_stub::create();

    const ProcessResult result = runLabelManager({"--sync-path-id"}, kJobTimeLimit);

    ASSERT_EQ(describe(result), "exit 0") << ProgramLog().dump();
    std::string expected;
    auto put32 = [&expected](uint32_t v) { expected.append(reinterpret_cast<const char*>(&v), 4); };
    auto put64 = [&expected](uint64_t v) { expected.append(reinterpret_cast<const char*>(&v), 8); };
    put32(16), put32(0), put32(3), put32(1);
    put32(48), put32(2), put32(1), put32(1);
    put64(0x10), put64(0), put64(0x11), put64(0x10);
    put32(16), put32(0), put32(3), put32(2);
    put32(32), put32(1), put32(1), put32(2);
    put64(0x20), put64(0);
    EXPECT_EQ(id_pairs_stub::bytes(), expected);
    const ProgramLog log;
    EXPECT_TRUE(log.has("vetu label sync path_id to kernel, end.", "INFO"));
}

TEST(JobsTest, SyncPathIdWithoutIdentityDataFailsAndWritesNothing)
{
    makeDataDir();
    id_pairs_stub::create();

    const ProcessResult result = runLabelManager({"--sync-path-id"}, kJobTimeLimit);

    EXPECT_EQ(describe(result), "exit 1");
    EXPECT_EQ(id_pairs_stub::bytes(), "");
    const ProgramLog log;
    EXPECT_TRUE(log.has("Failed to load identity data", "ERROR"));
    EXPECT_FALSE(log.has("vetu label sync path_id to kernel, end."));
}
