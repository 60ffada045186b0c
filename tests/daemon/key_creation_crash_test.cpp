// A job that creates a new HMAC key, killed at each unlink and rename it
// makes, then run again: the data signed under the old key is never taken
// for tampered, and ends up signed under the new key.
#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <filesystem>
#include <string>

#include "common/file_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/identity_data_file.h"
#include "support/program_log.h"
#include "support/run_process.h"
#include "support/temp_tree.h"

namespace {

constexpr double kJobTimeLimit = 120;
constexpr int kMaxCrashPoints = 64;
const char kStrace[] = "/usr/bin/strace";

// A running system's files: data, signatures and markers under a key that
// is gone.
void writeDataOfAnOldKey(const std::string& json, const std::string& pkgData)
{
    std::filesystem::remove_all(paths::kDataDir);
    std::filesystem::create_directories(paths::kDataDir);
    writeFile(paths::kIdentityData, json);
    writeFile(paths::kIdentityDataSig, getHMACSM3Signature(json, "old key"));
    writeFile(paths::kPkgFileData, pkgData);
    writeFile(paths::kPkgFileDataSig, getHMACSM3Signature(pkgData, "old key"));
    writeFile(paths::kIdentityMigrationMarker, "Signature migration completed on 2026-01-01 00:00:00");
    writeFile(paths::kPkgMigrationMarker, "Signature migration completed on 2026-01-01 00:00:00");
}

}  // namespace

TEST(KeyCreationCrashTest, NoCrashPointLosesData)
{
    TempTree tree;
    const std::string withPolicy = tree.file("policy/f", "x");
    IdentityMaps maps;
    maps.identityDataFileSid.set(withPolicy, vetu_id_t{0x1111, 0x2222, 0x3333});
    std::string json;
    std::string error;
    ASSERT_EQ(saveIdentityDataJson(maps, json, error), 0) << error;
    const std::string pkgData(32, '\0');  // four empty sections

    int crashPoints = 0;
    for (const char* call : {"unlink", "rename"}) {
        for (int n = 1; n <= kMaxCrashPoints; ++n) {
            SCOPED_TRACE(std::string(call) + " #" + std::to_string(n));
            writeDataOfAnOldKey(json, pkgData);
            removexattr(withPolicy.c_str(), "security.vetu");
            const std::string inject = "inject=" + std::string(call) + ":signal=SIGKILL:when=" + std::to_string(n);
            const ProcessResult crashed =
                runProcess({kStrace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + std::string(call), "-e", inject,
                            VETU_BINARY_DIR "/vetu-label-manager", "-s"},
                           kJobTimeLimit);
            if (describe(crashed) == "exit 0") {
                break;  // no such call: every crash point of this kind was tried
            }
            ASSERT_EQ(describe(crashed), "signal 9") << crashed.output;
            ++crashPoints;

            clearProgramLog();
            ASSERT_EQ(describe(runLabelManager({"-s"}, kJobTimeLimit)), "exit 0");
            const ProgramLog log;
            EXPECT_EQ(log.countContaining("Deleting", "ERROR"), 0u) << log.dump();
            EXPECT_TRUE(readFile(paths::kIdentityData) == json) << "identity data lost";
            EXPECT_TRUE(readFile(paths::kPkgFileData) == pkgData) << "package data lost";
            const std::string key = readFile(paths::kHmacKey);
            EXPECT_EQ(key.size(), 32u);
            EXPECT_EQ(readFile(paths::kIdentityDataSig), getHMACSM3Signature(json, key));
            EXPECT_EQ(readFile(paths::kPkgFileDataSig), getHMACSM3Signature(pkgData, key));
            EXPECT_EQ(readXattr(withPolicy).substr(17, 16), "0000000000002222") << "the identity data was used";
        }
    }
    // Key creation alone unlinks its scratch file and six stale files and
    // renames the key into place.
    EXPECT_GE(crashPoints, 8);
}
