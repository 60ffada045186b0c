// A job that creates a new HMAC key, killed at each unlink and rename it
// makes, then run again: the data signed under the old key is never taken
// for tampered, and ends up signed under the new key.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <string>

#include "common/file_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/identity_data_file.h"
#include "support/log_capture.h"
#include "support/run_process.h"
#include "support/temp_tree.h"

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
            std::filesystem::remove_all(paths::kDataDir);
            std::filesystem::create_directories(paths::kDataDir);
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
    // Key creation alone unlinks its scratch file and six stale files and
    // renames the key into place.
    EXPECT_GE(crashPoints, 8);
}
