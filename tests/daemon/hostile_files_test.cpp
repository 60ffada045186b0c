// Hostile device-type and identity files met by the start-up build of a job:
// each is refused with its message and the job ends as usual, never by a
// signal. Deep nesting alone is refused where each file is parsed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/file_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/hmac_key.h"
#include "support/log_capture.h"
#include "support/run_process.h"

namespace {

constexpr double kJobTimeLimit = 120;
constexpr int kDeepLevels = 200000;

std::string repeat(const std::string& text, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

}  // namespace

TEST(HostileFilesTest, StartupBuildRefusesEachAndTheJobExits)
{
    const std::string crashNumber = "1.00000000000000000000001e-346";
    struct Case {
        const char* name;
        const char* path;
        std::string content;
        bool sign;
    };
    const Case cases[] = {
        // TinyXML reads "< " up to the first '>', where a scan for tags
        // would look for the closing quote.
        {"xml quote after '< '", paths::kDeviceInfoXml, "<devices>< \"><type>" + repeat("<a>", kDeepLevels), false},
        // Once the declaration says UTF-8, a lead byte swallows the "</".
        {"xml utf-8 lead byte before '</'", paths::kDeviceInfoXml,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><devices>" + repeat("<a>\xE2</a>", kDeepLevels) + "</devices>",
         false},
        {"xml '>' quoted in the declaration", paths::kDeviceInfoXml,
         "<?xml version=\"1.0\" x=\"> <!--\"?><devices>" + repeat("<a>", kDeepLevels), false},
        {"json crashing number, signed", paths::kIdentityData, crashNumber, true},
        {"json crashing number, unsigned", paths::kIdentityData, crashNumber, false},
    };
    std::filesystem::create_directories(paths::kDataDir);
    std::filesystem::create_directories(std::filesystem::path(paths::kDeviceInfoXml).parent_path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* path : {paths::kDeviceInfoXml, paths::kIdentityData, paths::kIdentityDataSig,
                                 paths::kIdentityMigrationMarker}) {
            std::filesystem::remove(path);
        }
        writeFile(c.path, c.content);
        if (c.sign) {
            writeFile(paths::kIdentityDataSig, getHMACSM3Signature(c.content, getHmacKey()));
        }
        clearProgramLog();
        EXPECT_EQ(describe(runLabelManager({"-s"}, kJobTimeLimit)), "exit 0");
        const ProgramLog log;
        const char* message =
            c.path == paths::kDeviceInfoXml ? "Failed to load XML file." : "load indentity data error: ";
        EXPECT_EQ(log.countContaining(message, "ERROR"), 1u) << log.dump().substr(0, 4000);
        EXPECT_TRUE(log.has("vetu label restore for files with policies, end.", "INFO"));
    }
}
