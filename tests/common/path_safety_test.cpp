#include <gtest/gtest.h>

#include <string>

#include "common/path_safety.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

namespace {

struct SafetyCase {
    std::string path;
    bool allowWildcard;
    bool safe;
    std::string message;  // the refusal line, where it shows which check came first
    bool allowSymlink = true;
    bool allowMissing = true;
};

}  // namespace

// Each test in its order (a path that would fail several is reported by the
// first), then existence and links.
TEST(PathSafetyTest, TestsInOrder)
{
    TempTree tree;
    const std::string file = tree.file("f");
    const std::string link = tree.symlink("l", file);
    const std::string dangling = tree.symlink("d", tree.path("missing"));
    const std::string missing = tree.path("missing");
    std::string p4096;  // components of 199 bytes
    while (p4096.size() < 4096) {
        p4096 += p4096.size() % 200 == 0 ? '/' : 'a';
    }
    const std::vector<SafetyCase> cases = {
        {"/", false, true, ""},
        {"", true, false, ""},
        {"x" + p4096.substr(1), true, false,  // too long beats relative
          "FilePathCheck failed: path too long (length=4096, max=4096)"},
        {"relative/path", true, false, ""},
        {"/a//b", true, false, ""},
        {"/a/../b", true, false, ""},
        {"/...", true, false, ""},
        {"/a/b..", false, true, ""},  // trailing dots are a name
        {"/.config", true, false, ""},
        {std::string("/a\0b", 4), true, false, ""},
        {"/a\x7f", true, false, ""},
        {"/x|y\\z", true, false, "FilePathCheck failed: contains shell metacharacter '|' (0x7C) at position 2 in path: /x|y\\z"},
        {"/caf\xc3\xa9", false, true, ""},
        {"/\xed\xa0\x80", false, true, ""},  // a surrogate passes
        {"/\xe4\xb8x", true, false, ""},
        {"/\xc0\x80", true, false, "FilePathCheck failed: invalid UTF-8 byte 0xC0 at position 1"},
        {"/\xe0\x80\x80", true, false, ""},
        {"/tmp/*.log", false, false, ""},
        {link, false, true, "", true, false},
        {link, false, false, "FilePathCheck failed: symbolic link not allowed - " + link, false},
        {dangling, false, false, "FilePathCheck failed: path does not exist - " + dangling, false, false},
        {missing, false, false, "", true, false},
    };
    for (const SafetyCase& c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture log;
        EXPECT_EQ(isFilePathSafe(c.path, c.allowSymlink, c.allowWildcard, c.allowMissing), c.safe);
        if (!c.message.empty()) {
            EXPECT_TRUE(log.has(c.message, "ERROR")) << log.dump();
        }
    }
}
