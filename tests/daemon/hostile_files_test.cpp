// Hostile device-type and identity files met by the start-up build of a job:
// each is refused with its message and the job ends as usual, never by a
// signal.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "common/file_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/hmac_key.h"
#include "support/program_log.h"
#include "support/run_process.h"

namespace {

constexpr double kJobTimeLimit = 120;
constexpr int kDeepLevels = 200000;

std::string repeat(const std::string& text, size_t times)
{
    std::string out;
    out.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

void signIdentityData(const std::string& json)
{
    writeFile(paths::kIdentityData, json);
    writeFile(paths::kIdentityDataSig, getHMACSM3Signature(json, getHmacKey()));
}

}  // namespace

TEST(HostileFilesTest, StartupBuildRefusesEachAndTheJobExits)
{
    const std::string deviceDir = std::filesystem::path(paths::kDeviceInfoXml).parent_path();
    const std::string crashNumber = "1.00000000000000000000001e-346";
    struct Case {
        const char* name;
        std::function<void()> prepare;
        const char* message;
    };
    const Case cases[] = {
        // TinyXML reads "< " up to the first '>', where a scan for tags
        // would look for the closing quote.
        {"xml quote after '< '",
         [] { writeFile(paths::kDeviceInfoXml, "<devices>< \"><type>" + repeat("<a>", kDeepLevels)); },
         "Failed to load XML file."},
        // Once the declaration says UTF-8, a lead byte swallows the "</".
        {"xml utf-8 lead byte before '</'",
         [] {
             writeFile(paths::kDeviceInfoXml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><devices>" +
                                                  repeat("<a>\xE2</a>", kDeepLevels) + "</devices>");
         },
         "Failed to load XML file."},
        {"xml '>' quoted in the declaration",
         [] {
             writeFile(paths::kDeviceInfoXml,
                       "<?xml version=\"1.0\" x=\"> <!--\"?><devices>" + repeat("<a>", kDeepLevels));
         },
         "Failed to load XML file."},
        {"xml flat 10 MB",
         [] {
             const std::string type = "<type name=\"t\" value=\"1\"/>\n";
             writeFile(paths::kDeviceInfoXml, "<devices>" + repeat(type, (10 << 20) / type.size()) + "</devices>");
         },
         "Failed to load XML file."},
        {"json crashing number, signed", [&] { signIdentityData(crashNumber); }, "load indentity data error: "},
        {"json crashing number, unsigned", [&] { writeFile(paths::kIdentityData, crashNumber); },
         "load indentity data error: "},
        {"json crashing number inside a map",
         [&] {
             signIdentityData(R"({"value0": {"identityDataFileSid": {"value0": [{"key": "/a", "value": {"pkg_id": )" +
                              crashNumber + "}}]}}}");
         },
         "load indentity data error: "},
        {"json nested deep",
         [] { signIdentityData(repeat("{\"value0\": ", kDeepLevels) + "0" + repeat("}", kDeepLevels)); },
         "load indentity data error: "},
    };
    std::filesystem::create_directories(paths::kDataDir);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(deviceDir);
        std::filesystem::create_directories(deviceDir);
        for (const char* path : {paths::kIdentityData, paths::kIdentityDataSig, paths::kIdentityMigrationMarker}) {
            std::filesystem::remove(path);
        }
        c.prepare();
        clearProgramLog();
        EXPECT_EQ(describe(runLabelManager({"-s"}, kJobTimeLimit)), "exit 0");
        const ProgramLog log;
        EXPECT_EQ(log.countContaining(c.message, "ERROR"), 1u) << log.dump().substr(0, 4000);
        EXPECT_TRUE(log.has("vetu label restore for files with policies, end.", "INFO"));
    }
}
