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

TEST(HostileFilesTest, StartupBuildRefusesEachAndTheJobExits)
{
    std::string deep, deepUtf8;
    for (int i = 0; i < 200000; ++i) {
        deep += "<a>";
        deepUtf8 += "<a>\xE2</a>";
    }
    const std::string crashNumber = "1.00000000000000000000001e-346";
    const struct {
        const char* path;
        std::string content;
        bool sign;
    } cases[] = {
        // TinyXML reads "< " up to the first '>', where a scan for tags
        // would look for the closing quote.
        {paths::kDeviceInfoXml, "<devices>< \"><type>" + deep, false},
        // Once the declaration says UTF-8, a lead byte swallows the "</".
        {paths::kDeviceInfoXml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><devices>" + deepUtf8 + "</devices>", false},
        {paths::kDeviceInfoXml, "<?xml version=\"1.0\" x=\"> <!--\"?><devices>" + deep, false},
        {paths::kIdentityData, crashNumber, true},
        {paths::kIdentityData, crashNumber, false},
    };
    std::filesystem::create_directories(paths::kDataDir);
    std::filesystem::create_directories(std::filesystem::path(paths::kDeviceInfoXml).parent_path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 40));
        for (const char* path : {paths::kDeviceInfoXml, paths::kIdentityData, paths::kIdentityDataSig,
                                 paths::kIdentityMigrationMarker}) {
            std::filesystem::remove(path);
        }
        writeFile(c.path, c.content);
        if (c.sign) {
            writeFile(paths::kIdentityDataSig, getHMACSM3Signature(c.content, getHmacKey()));
        }
        clearProgramLog();
        EXPECT_EQ(describe(runLabelManager({"-s"}, 120)), "exit 0");
        const char* message =
            c.path == paths::kDeviceInfoXml ? "Failed to load XML file." : "load indentity data error: ";
        EXPECT_EQ(ProgramLog().countContaining(message, "ERROR"), 1u) << ProgramLog().dump().substr(0, 4000);
    }
}
