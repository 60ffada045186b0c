#include "service/access_whitelist.h"

#include <gtest/gtest.h>

#include <fstream>


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

TEST(AccessWhitelist, FileTable)
{
    const Row rows[] = {
        {kMainFile, "nobody", "/usr/bin/sub/tool", "getPkgId", true},  // "*" crosses "/"
        {kMainFile, "nobody", "/opt/tool", "getPkgId", false},
        {kMainFile, "admin2", "/opt/x", "setPkgId", false},  // the item is " admin2"
        {kMainFile, " admin2", "/opt/x", "setPkgId", true},  // paths of the spoilt header stay here
        {kMainFile, "carol", "/any", "getFileOid", true},  // no section of its own: global users
        {kMainFile, "erin", "/any", "getFileOid", true},    // after "[]" is outside again
        {kMainFile, "zed", "/any", "getFileOid", false},
        {kMainFile, "dave", "/usr/lib/tool", "getPkgIds", true},  // the repeated section adds
        {kMainFile, "dave", "/usr/lib/xtool", "getPkgIds", false},
        {kMainFile, "", "/opt/tool", "getPkgIds", false},  // a trailing comma adds nothing
        {kMainFile, "", "/bin/ls", "pathNormalize", true},  // a leading comma adds ""
        {kSwitchesIgnored, "nobody", "/any", "getPkgId", true},
        {kNoGlobalUsers, "nobody", "/any", "setPkgId", true},
        {kNoGlobalUsers, "nobody", "/any", "getPkgId", false},
    };
    const std::string path = "/tmp/whitelist.conf";
    for (const Row& row : rows) {
        std::ofstream(path, std::ios::trunc) << row.file;
        AccessWhitelist whitelist;
        ASSERT_TRUE(whitelist.loadWhitelist(path));
        EXPECT_EQ(row.admitted, whitelist.checkWhitelist(row.user, row.path, row.section))
            << "user '" << row.user << "' path " << row.path << " section " << row.section;
    }
    AccessWhitelist missing;
    EXPECT_FALSE(missing.loadWhitelist("/etc/vetu/label/vetu-label-whitelist.conf"));
    EXPECT_TRUE(missing.checkWhitelist("nobody", "/opt/tool", "getPkgId"));
}

}  // namespace
