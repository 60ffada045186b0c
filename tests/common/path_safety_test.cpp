#include <gtest/gtest.h>

#include <string>

#include "common/path_safety.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

namespace {

struct SafetyCase {
    const char* name;
    std::string path;
    bool allowWildcard;
    bool safe;
    std::string message;  // the refusal line ("" when safe)
    bool allowSymlink = true;
    bool allowMissing = true;
};

std::string longPath(size_t length)
{
    std::string p = "/";
    while (p.size() < length) {
        p += (p.size() % 200 == 0) ? '/' : 'a';
    }
    if (p.back() == '/') {
        p.back() = 'b';
    }
    return p;
}

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
    const std::string p4095 = longPath(4095);
    const std::string p4096 = longPath(4096);
    const std::vector<SafetyCase> cases = {
        {"root", "/", false, true, ""},
        {"plain", "/usr/bin/ls", false, true, ""},
        {"empty", "", true, false, "FilePathCheck failed: empty path"},
        {"max length", p4095, false, true, ""},
        {"too long", p4096, true, false, "FilePathCheck failed: path too long (length=4096, max=4096)"},
        {"too long beats relative", "x" + p4096.substr(1), true, false,
         "FilePathCheck failed: path too long (length=4096, max=4096)"},
        {"relative", "relative/path", true, false, "FilePathCheck failed: not an absolute path - relative/path"},
        {"dot relative", "./x", true, false, "FilePathCheck failed: not an absolute path - ./x"},
        {"double slash", "/a//b", true, false, "FilePathCheck failed: contains consecutive slashes - /a//b"},
        {"parent", "/a/../b", true, false, "FilePathCheck failed: path traversal attack detected - /a/../b"},
        {"dotdot prefix", "/a/..b", true, false, "FilePathCheck failed: path traversal attack detected - /a/..b"},
        {"three dots", "/...", true, false, "FilePathCheck failed: path traversal attack detected - /..."},
        {"dotdot suffix", "/a../b", true, false, "FilePathCheck failed: path traversal attack detected - /a../b"},
        {"trailing dots ok", "/a/b..", false, true, ""},
        {"inner dots ok", "/a/b..c", false, true, ""},
        {"hidden root", "/.config", true, false, "FilePathCheck failed: invalid root path - /.config"},
        {"dot root", "/.", true, false, "FilePathCheck failed: invalid root path - /."},
        {"hidden below ok", "/home/.config", false, true, ""},
        {"nul", std::string("/a\0b", 4), true, false, "FilePathCheck failed: contains null byte"},
        {"newline", "/a\nb", true, false, "FilePathCheck failed: contains control characters"},
        {"escape", "/a\x1b", true, false, "FilePathCheck failed: contains control characters"},
        {"del", "/a\x7f", true, false, "FilePathCheck failed: contains DEL character"},
        {"tab", "/ab\tc", true, false,
         "FilePathCheck failed: contains shell metacharacter '\t' (0x09) at position 3 in path: /ab\tc"},
        {"colon", "/a:b", true, false,
         "FilePathCheck failed: contains shell metacharacter ':' (0x3A) at position 2 in path: /a:b"},
        {"first meta wins", "/x|y\\z", true, false,
         "FilePathCheck failed: contains shell metacharacter '|' (0x7C) at position 2 in path: /x|y\\z"},
        {"backslash", "/a\\*", true, false,
         "FilePathCheck failed: contains shell metacharacter '\\' (0x5C) at position 2 in path: /a\\*"},
        {"quote", "/a\"", true, false,
         "FilePathCheck failed: contains shell metacharacter '\"' (0x22) at position 2 in path: /a\""},
        {"utf8 two bytes", "/caf\xc3\xa9", false, true, ""},
        {"utf8 four bytes", "/\xf0\x9f\x98\x80", false, true, ""},
        {"surrogate passes", "/\xed\xa0\x80", false, true, ""},
        {"lone lead", "/ab\xc3", true, false, "FilePathCheck failed: invalid UTF-8 sequence at position 3"},
        {"bad continuation", "/\xe4\xb8x", true, false, "FilePathCheck failed: invalid UTF-8 sequence at position 1"},
        {"truncated four", "/\xf0\x9f\x98", true, false, "FilePathCheck failed: invalid UTF-8 sequence at position 1"},
        {"c0 invalid", "/\xc0\x80", true, false, "FilePathCheck failed: invalid UTF-8 byte 0xC0 at position 1"},
        {"lone continuation", "/a\x80", true, false, "FilePathCheck failed: invalid UTF-8 byte 0x80 at position 2"},
        {"f5 invalid", "/\xf5\x80\x80\x80", true, false, "FilePathCheck failed: invalid UTF-8 byte 0xF5 at position 1"},
        {"overlong three", "/\xe0\x80\x80", true, false, "FilePathCheck failed: overlong UTF-8 sequence"},
        {"overlong four", "/\xf0\x80\x80\x80", true, false, "FilePathCheck failed: overlong UTF-8 sequence"},
        {"wildcard allowed", "/tmp/*.log", true, true, ""},
        {"wildcard refused", "/tmp/*.log", false, false, "FilePathCheck failed: wildcard not allowed - /tmp/*.log"},
        {"bracket refused", "/tmp/a[1]", false, false, "FilePathCheck failed: wildcard not allowed - /tmp/a[1]"},
        {"file", file, false, true, "", false, false},
        {"link allowed", link, false, true, "", true, false},
        {"link refused", link, false, false, "FilePathCheck failed: symbolic link not allowed - " + link, false},
        {"dangling may be missing", dangling, false, true, "", false, true},
        {"dangling", dangling, false, false, "FilePathCheck failed: path does not exist - " + dangling, false, false},
        {"missing", missing, false, false, "FilePathCheck failed: path does not exist - " + missing, true, false},
    };
    for (const SafetyCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_EQ(isFilePathSafe(c.path, c.allowSymlink, c.allowWildcard, c.allowMissing), c.safe);
        if (c.safe) {
            EXPECT_EQ(log.countContaining("failed"), 0u) << log.dump();
        } else {
            EXPECT_TRUE(log.has(c.message, "ERROR")) << log.dump();
            EXPECT_EQ(log.countContaining("FilePathCheck failed"), 1u) << log.dump();
        }
    }
}

// Spaces only warn.
TEST(PathSafetyTest, SpacesWarn)
{
    LogCapture log;
    EXPECT_TRUE(isFilePathSafe("/my dir/x", true, true, true));
    EXPECT_TRUE(log.has("FilePathCheck: path contains spaces - /my dir/x", "WARN")) << log.dump();
}
