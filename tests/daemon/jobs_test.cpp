// The one-shot jobs of the executable and its command line, run as a child
// in the test's namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "common/file_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/hmac_key.h"
#include "store/identity_data_file.h"
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

// Package data that cannot be looked at (a link loop) stops the job before
// it labels anything. Of two runs, the second replaces the package data the
// first stored. Directories holding packaged paths get flag 7, all else 5.
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

// The stored identity data reaches the kernel; without it nothing does.
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

// The log survives closed standard descriptors (the log file would take one
// of their numbers, and the reopening of the streams would close it).
TEST(CommandLineTest, UsageErrorsExitOneWithTheirUsage)
{
    const std::string self = VETU_BINARY_DIR "/vetu-label-manager";
    const std::string usage = "Please input the parameters like this, " + self;
    const std::pair<std::string, std::string> rows[] = {
        {"-x", usage + " -s"},
        {"-s x", usage + " -d filepath"},
        {"-d /tmp x", usage + " -d dir --excluded dir"},
        {"-x 0<&- 1>&- 2>&-", "vetu label restore: Invalid parameter..."},
        {"-x 2>&-", "vetu label restore: Invalid parameter..."},
    };
    for (const auto& [args, line] : rows) {
        clearProgramLog();
        EXPECT_EQ(describe(runProcess({"/bin/sh", "-c", "exec \"$0\" " + args, self}, 30)), "exit 1") << args;
        EXPECT_TRUE(ProgramLog().has(line)) << args << "\n" << ProgramLog().dump();
    }
}

// Hostile device-type and identity files: each refused, the job ends, never by a signal.
TEST_F(JobsTest, HostileFilesAreRefusedAndTheJobExits)
{
    std::string deep, deepUtf8;
    for (int i = 0; i < 200000; ++i) {
        deep += "<a>";
        deepUtf8 += "<a>\xE2</a>";
    }
    const std::string crashNumber = "1.00000000000000000000001e-346";
    const std::tuple<const char*, std::string, bool> cases[] = {  // file, content, signed
        // The parser reads "< " up to the first '>'; a scan for tags would seek the quote.
        {paths::kDeviceInfoXml, "<devices>< \"><type>" + deep, false},
        // Once the declaration says UTF-8, a lead byte swallows the "</".
        {paths::kDeviceInfoXml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><devices>" + deepUtf8 + "</devices>", false},
        {paths::kDeviceInfoXml, "<?xml version=\"1.0\" x=\"> <!--\"?><devices>" + deep, false},
        {paths::kIdentityData, crashNumber, true},
        {paths::kIdentityData, crashNumber, false},
    };
    fs::create_directories(fs::path(paths::kDeviceInfoXml).parent_path());
    for (const auto& [path, content, sign] : cases) {
        SCOPED_TRACE(content.substr(0, 40));
        for (const char* old : {paths::kDeviceInfoXml, paths::kIdentityData, paths::kIdentityDataSig,
                                paths::kIdentityMigrationMarker}) {
            fs::remove(old);
        }
        writeFile(path, content);
        if (sign) {
            writeFile(paths::kIdentityDataSig, getHMACSM3Signature(content, getHmacKey()));
        }
        clearProgramLog();
        EXPECT_EQ(describe(runLabelManager({"-s"}, 120)), "exit 0");
        const char* message =
            path == paths::kDeviceInfoXml ? "Failed to load XML file." : "load indentity data error: ";
        EXPECT_EQ(ProgramLog().countContaining(message, "ERROR"), 1u) << ProgramLog().dump().substr(0, 4000);
    }
}

// A job creating a new HMAC key, killed at each unlink and rename, then run
// again: data signed under the old key ends up signed under the new one.
TEST(KeyCreationCrashTest, NoCrashPointLosesData)
{
    TempTree tree;
    const std::string withPolicy = tree.file("policy/f", "x");
    IdentityMaps maps;
    maps.identityDataFileSid.set(withPolicy, vetu_id_t{0x1111, 0x2222, 0x3333});
    std::string json, error;
    ASSERT_EQ(saveIdentityDataJson(maps, json, error), 0) << error;
    const std::string pkgData(32, '\0');  // four empty sections
    const struct {
        const char* data;
        const char* sig;
        const char* marker;
        const std::string& bytes;
    } files[] = {{paths::kIdentityData, paths::kIdentityDataSig, paths::kIdentityMigrationMarker, json},
                 {paths::kPkgFileData, paths::kPkgFileDataSig, paths::kPkgMigrationMarker, pkgData}};

    int crashPoints = 0;
    for (const std::string call : {"unlink", "rename"}) {
        for (int n = 1; n <= 64; ++n) {
            SCOPED_TRACE(call + " #" + std::to_string(n));
            // A running system's files under a key that is gone.
            fs::remove_all(paths::kDataDir);
            fs::create_directories(paths::kDataDir);
            for (const auto& f : files) {
                writeFile(f.data, f.bytes);
                writeFile(f.sig, getHMACSM3Signature(f.bytes, "old key"));
                writeFile(f.marker, "Signature migration completed on 2026-01-01 00:00:00");
            }
            removexattr(withPolicy.c_str(), "security.vetu");
            const ProcessResult crashed = runProcess(
                {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                 "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(n), VETU_BINARY_DIR "/vetu-label-manager",
                 "-s"},
                120);
            if (crashed.status == 0) {
                break;  // no such call: every crash point of this kind was tried
            }
            ASSERT_EQ(describe(crashed), "signal 9") << crashed.output;
            ++crashPoints;

            clearProgramLog();
            ASSERT_EQ(describe(runLabelManager({"-s"}, 120)), "exit 0");
            EXPECT_EQ(ProgramLog().countContaining("Deleting", "ERROR"), 0u) << ProgramLog().dump();
            const std::string key = readFile(paths::kHmacKey);
            struct stat st {};
            EXPECT_TRUE(key.size() == 32 && stat(paths::kHmacKey, &st) == 0 && (st.st_mode & 0777) == 0600);
            for (const auto& f : files) {
                EXPECT_TRUE(readFile(f.data) == f.bytes) << f.data << " lost";
                EXPECT_EQ(readFile(f.sig), getHMACSM3Signature(f.bytes, key));
            }
            EXPECT_EQ(readXattr(withPolicy).substr(17, 16), "0000000000002222") << "the identity data was used";
        }
    }
    // Key creation alone unlinks its scratch file and six stale files, renames the key.
    EXPECT_GE(crashPoints, 8);
}
