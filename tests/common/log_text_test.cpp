#include "common/log_text.h"

#include <gtest/gtest.h>

#include <string>

TEST(LogTextTest, ControlCharactersEscapedOthersKept)
{
    const std::pair<std::string, std::string> rows[] = {
        {"/usr/bin/rpm", "/usr/bin/rpm"},
        {"caf\xc3\xa9 \\x0a", "caf\xc3\xa9 \\x0a"},
        {"/tmp/a\nFORGED [ERROR] x", "/tmp/a\\x0aFORGED [ERROR] x"},
        {"\r\t\x1b[2J\x7f", "\\x0d\\x09\\x1b[2J\\x7f"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"", ""},
    };
    for (const auto& [raw, logged] : rows) {
        EXPECT_EQ(std::string(logSafe(raw).c_str()), logged);
    }
    const char* plain = "/etc/passwd";
    EXPECT_EQ(logSafe(plain).c_str(), plain);
}
