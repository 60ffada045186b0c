#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "store/identity_data_file.h"

namespace {

const std::vector<std::string> kMembers = {
    "identityDataFileSid", "identityDataFileOid", "identityDataDirSid", "identityDataDirOid",
    "identityDataLnkfileSid", "identityDataLnkfileOid", "identityDataDirSpathid", "identityDataDirOpathid",
    "identityDataFileWildcardSid", "identityDataFileWildcardOid", "identityDataDirWildcardSid",
    "identityDataDirWildcardOid", "identityDataLinkWildcardSid", "identityDataLinkWildcardOid",
    "identityDataDirWSpathid", "identityDataDirWOpathid", "specialFsFileOid", "identityDataUserConfigPid",
    "identityDataUserConfigSid", "identityDataUserConfigOid", "identityDataUserConfigTid",
    "identityDataUserConfigInheritFlag", "identityDataUserConfigSidGlob", "identityDataUserConfigOidGlob",
    "identityDataUserConfigTidGlob", "identityDataUserConfigInheritFlagGlob", "identityDataUserConfigCreateOid",
    "identityDataUserConfigLabel",
};

std::string toJson(const IdentityMaps& maps)
{
    std::string json, error;
    EXPECT_EQ(saveIdentityDataJson(maps, json, error), 0) << error;
    return json;
}

// A hand-built file: members in the given order, entries as given (raw JSON
// of the map's array), other names for the wrapper members.
std::string handBuilt(const std::vector<std::string>& order, const std::string& member = "",
                      const std::string& entries = "")
{
    std::string json = "{\"data\": {";
    for (size_t i = 0; i < order.size(); ++i) {
        json += (i ? "," : "") + std::string("\"") + order[i] + "\": {\"entries\": [" +
                (order[i] == member ? entries : "") + "]}";
    }
    return json + "}}";
}

TEST(IdentityDataFileTest, GoldenText)
{
    IdentityMaps maps;
    maps.identityDataFileSid.set("/usr/bin/a", vetu_id_t{1, 2, 3});
    maps.identityDataDirSpathid.set("/d", 18446744073709551615ull);
    maps.specialFsFileOid.set("/proc", SpecialFsFileRecord{"proc", vetu_id_t{4, 5, 6}});
    maps.identityDataUserConfigLabel.set("/l", "t\"q\\\x01\x1f\b\t\n\f\r\x7f\xe4\xb8\xad\xff");

    // The members that hold an entry, as the file shows them.
    const std::string pad(20, ' ');
    const std::string id = "{\n" + pad + "    \"pkg_id\": 1,\n" + pad + "    \"file_id\": 2,\n" + pad +
                           "    \"path_id\": 3\n" + pad + "}";
    const std::string record = "{\n" + pad + "    \"filesystem\": \"proc\",\n" + pad + "    \"pkg_id\": 4,\n" + pad +
                               "    \"file_id\": 5,\n" + pad + "    \"path_id\": 6\n" + pad + "}";
    const std::map<std::string, std::pair<std::string, std::string>> entries = {
        {"identityDataFileSid", {"/usr/bin/a", id}},
        {"identityDataDirSpathid", {"/d", "18446744073709551615"}},
        {"specialFsFileOid", {"/proc", record}},
        {"identityDataUserConfigLabel", {"/l", "\"t\\\"q\\\\\\u0001\\u001F\\b\\t\\n\\f\\r\x7f\xe4\xb8\xad\xff\""}},
    };
    std::string expected = "{\n    \"value0\": {\n";
    for (const std::string& name : kMembers) {
        const auto entry = entries.find(name);
        expected += "        \"" + name + "\": {\n            \"value0\": [" +
                    (entry == entries.end() ? std::string("]")
                                            : "\n                {\n                    \"key\": \"" + entry->second.first +
                                                  "\",\n                    \"value\": " + entry->second.second +
                                                  "\n                }\n            ]") +
                    "\n        }" + (name == kMembers.back() ? "\n" : ",\n");
    }
    EXPECT_EQ(toJson(maps), expected + "    }\n}");
}

// A refused file changes no map: a half-loaded store would be written back
// as if it were whole.
TEST(IdentityDataFileTest, RefusedTextsChangeNothing)
{
    std::vector<std::string> withoutLabel(kMembers.begin(), kMembers.end() - 1);
    const std::string idEntry = R"({"key": "/f", "value": {"pkg_id": PKG, "file_id": 2, "path_id": 3}})";
    const auto withPkg = [&](const std::string& pkg) {
        std::string e = idEntry;
        return e.replace(e.find("PKG"), 3, pkg);
    };
    struct Case {
        const char* name;
        std::string json;
        std::string error;  // "" when any text will do
    };
    const std::vector<Case> cases = {
        {"missing member", handBuilt(withoutLabel, "identityDataFileSid", withPkg("1")),
         "JSON Parsing failed - provided NVP (identityDataUserConfigLabel) not found"},
        {"pkg_id as string", handBuilt(kMembers, "identityDataFileSid", withPkg("\"1\"")), ""},
        {"pkg_id above 64 bits", handBuilt(kMembers, "identityDataFileSid", withPkg("18446744073709551616")), ""},
        {"tid above 32 bits", handBuilt(kMembers, "identityDataUserConfigTid", R"({"key": "/t", "value": 4294967296})"),
         ""},
        {"label as number", handBuilt(kMembers, "identityDataUserConfigLabel", R"({"key": "/t", "value": 1})"), ""},
        {"trailing garbage", handBuilt(kMembers) + "x", ""},
        {"deep nesting", std::string(200000, '['), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IdentityMaps maps;
        maps.identityDataFileSid.set("/kept", vetu_id_t{9, 9, 9});
        maps.identityDataUserConfigLabel.set("/kept", "kept");
        std::string error;
        EXPECT_EQ(loadIdentityDataJson(c.json, maps, error), -1);
        EXPECT_FALSE(error.empty());
        if (!c.error.empty()) {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_EQ(maps.identityDataFileSid.getAll().size(), 1u);
        EXPECT_EQ(maps.identityDataUserConfigLabel.getAll().size(), 1u);
    }
}

}  // namespace
