#include "service/access_whitelist.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/log_capture.h"

namespace {

// Each line a trap of the format: comments, a header spoilt by a blank
// before its comment, a switch that counts only outside sections, lists
// taken byte for byte.
constexpr const char kMainFile[] =
    "# whitelist\n"
    "enabled=true #\n"
    "allowed_users=root,,carol\n"
    "[getPkgId]\n"
    "allowed_paths=/usr/bin/*\n"
    "[setPkgId]\n"
    "allowed_users=root,admin\n"
    "allowed_users=root, admin2\n"
    "[getFileOid] # no header now\n"
    "allowed_paths=/opt/x\n"
    "[getPkgIds]\n"
    "allowed_users=dave,\n"
    "allowed_paths=/opt/tool\n"
    "[getPkgIds]\n"
    "allowed_paths=/usr/lib/?ool\n"
    "[]\n"
    "allowed_users=erin\n"
    "enabled=true\n"
    "[pathNormalize]\n"
    "enabled=false\n"
    "allowed_users=,frank\n"
    "allowed_paths=/bin/*\n";
// Either switch, if honoured, would refuse nobody.
constexpr const char kSwitchesIgnored[] = "enabled=true\r\n[getPkgId]\nenabled=true\nallowed_users=root\n";
constexpr const char kNoGlobalUsers[] = "enabled=true\n[getPkgId]\nallowed_users=root\n";

struct Row {
    const char* file;
    const char* user;
    const char* path;
    const char* section;
    bool admitted;
};

TEST(AccessWhitelist, FileTableAndLog)
{
    const Row rows[] = {
        {kMainFile, "nobody", "/usr/bin/sub/tool", "getPkgId", true},  // "*" crosses "/"
        {kMainFile, "nobody", "/opt/tool", "getPkgId", false},
        {kMainFile, "admin", "/opt/x", "setPkgId", true},
        {kMainFile, "admin2", "/opt/x", "setPkgId", false},  // the item is " admin2"
        {kMainFile, " admin2", "/opt/x", "setPkgId", true},  // paths of the spoilt header stay here
        {kMainFile, "root", "/bin/sh", "setPkgId", false},
        {kMainFile, "carol", "/any", "getFileOid", true},  // no section of its own: global users
        {kMainFile, "", "/any", "getFileOid", true},        // the piece between two commas
        {kMainFile, "erin", "/any", "getFileOid", true},    // after "[]" is outside again
        {kMainFile, "zed", "/any", "getFileOid", false},
        {kMainFile, "dave", "/opt/tool", "getPkgIds", true},
        {kMainFile, "dave", "/usr/lib/tool", "getPkgIds", true},  // the repeated section adds
        {kMainFile, "dave", "/usr/lib/xtool", "getPkgIds", false},
        {kMainFile, "", "/opt/tool", "getPkgIds", false},  // a trailing comma adds nothing
        {kMainFile, "", "/bin/ls", "pathNormalize", true},  // a leading comma adds ""
        {kSwitchesIgnored, "nobody", "/any", "getPkgId", true},
        {kNoGlobalUsers, "nobody", "/any", "setPkgId", true},
        {kNoGlobalUsers, "nobody", "/any", "getPkgId", false},
    };
    LogCapture log;
    const std::string path = "/tmp/whitelist.conf";
    for (const Row& row : rows) {
        std::ofstream(path, std::ios::trunc) << row.file;
        AccessWhitelist whitelist;
        ASSERT_TRUE(whitelist.loadWhitelist(path));
        EXPECT_EQ(row.admitted, whitelist.checkWhitelist(row.user, row.path, row.section))
            << "user '" << row.user << "' path " << row.path << " section " << row.section << " file:\n"
            << row.file;
    }
    EXPECT_TRUE(log.has("checkWhitelist failed: path /opt/tool not allowed for getPkgId", "ERROR"));
    EXPECT_TRUE(log.has("checkWhitelist failed: user admin2 not allowed for setPkgId", "ERROR"));
    EXPECT_EQ(0u, log.countContaining("zed"));  // a refusal by the global users is silent

    AccessWhitelist missing;
    EXPECT_FALSE(missing.loadWhitelist("/etc/vetu/label/vetu-label-whitelist.conf"));
    EXPECT_TRUE(log.has("Failed to open whitelist config: /etc/vetu/label/vetu-label-whitelist.conf", "ERROR"));
    EXPECT_TRUE(missing.checkWhitelist("nobody", "/opt/tool", "getPkgId"));
}

}  // namespace
