#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/logger.h"
#include "common/paths.h"
#include "support/log_capture.h"

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

unsigned modeOf(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return 0;
    }
    return st.st_mode & 07777;
}

}  // namespace

// Without a properties file (the sandbox has none) the fallback writes INFO
// and above, milestones included, in its own pattern to the log file.
TEST(LoggerTest, FallbackWritesInfoAndAboveInPattern)
{
    testing::internal::CaptureStdout();
    LOG_DEBUG("debug %d", 1);
    LOG_INFO("info %s", "two");
    LOG_WARN("warn");
    LOG_ERROR("error %x", 255u);
    LOG_INFO_CATEGORY("milestone");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "read log config error.\n");

    const std::string log = slurp(paths::kLogFile);
    EXPECT_EQ(log.find("debug 1"), std::string::npos) << log;
    EXPECT_NE(log.find("[INFO] [TestBody:"), std::string::npos) << log;
    EXPECT_NE(log.find("] info two \n"), std::string::npos) << log;
    EXPECT_NE(log.find("[WARN] [TestBody:"), std::string::npos) << log;
    EXPECT_NE(log.find("] error ff \n"), std::string::npos) << log;
    EXPECT_NE(log.find("] milestone \n"), std::string::npos) << log;
    EXPECT_EQ(modeOf(paths::kLogFile) & 0777, 0644u);
}

TEST(LoggerTest, LineCarriesFunctionAndSourceLine)
{
    LogCapture capture;
    const int line = __LINE__ + 1;
    LOG_WARN("value %d and %s", 42, "text");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, "WARN");
    EXPECT_EQ(lines[0].message, "[TestBody:" + std::to_string(line) + "] value 42 and text");
}

TEST(LoggerTest, LongMessagesAreNotCut)
{
    LogCapture capture;
    const std::string big(3000, 'x');
    LOG_ERROR("%s", big.c_str());
    EXPECT_EQ(capture.count(big, "ERROR"), 1u);
}
