#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/PatternLayout.hh>

#include "common/file_utils.h"
#include "common/logger.h"
#include "common/paths.h"

namespace {

unsigned modeOf(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void writeProperties(const std::string& text)
{
    mkdir(paths::kLabelConfDir, 0755);
    ASSERT_TRUE(writeFile(paths::kLogProperties, text));
}

const std::string kRootLog = "/var/log/vetu/root.log";
const std::string kInfoLog = "/var/log/vetu/info.log";
const std::string kCommentedLog = "/var/log/vetu/commented.log";

// The lines of one appender with a pattern layout.
std::string appender(const std::string& name, const std::string& file, const std::string& pattern,
                     const std::string& type = "FileAppender")
{
    const std::string key = "log4cpp.appender." + name;
    return key + "=org.apache.log4cpp." + type + "\n" + key + ".fileName=" + file + "\n" + key +
           ".layout=org.apache.log4cpp.PatternLayout\n" + key + ".layout.ConversionPattern=" + pattern + "\n";
}

}  // namespace

// Configured files are made 0640 (not a commented-out one), categories route
// to their own appender, and a rolling appender's file created anew at each
// rollover is as private as the first one.
TEST(LoggerTest, TwoFileAppendersGetMode0640AndRouteByCategory)
{
    // Two file appenders (one rolling), the key, "=" and value padded with
    // blanks, and a commented-out appender whose file must not be touched.
    std::string text = "log4cpp.rootCategory=DEBUG, rootFile\nlog4cpp.category.INFO=INFO, infoFile\n" +
                       appender("rootFile", kRootLog, "%p %m%n") +
                       appender("infoFile", kInfoLog, "%p %m%n", "RollingFileAppender") +
                       "log4cpp.appender.infoFile.maxFileSize=2048\nlog4cpp.appender.infoFile.maxBackupIndex=2\n"
                       "#log4cpp.appender.infoFile.fileName=" + kCommentedLog + "\n";
    const std::string plain = "log4cpp.appender.rootFile.fileName=" + kRootLog;
    writeProperties(text.replace(text.find(plain), plain.size(),
                                 " \t log4cpp.appender.rootFile.fileName \t=  " + kRootLog + " \t"));
    for (const auto& [path, mode] : {std::pair{kRootLog, 0666}, {kInfoLog, 0604}, {kCommentedLog, 0666}}) {
        ASSERT_TRUE(writeFile(path, ""));
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
    umask(022);

    const int line = __LINE__ + 1;
    LOG_DEBUG("debug %s", "line");
    LOG_INFO_CATEGORY("milestone %d", 1);

    EXPECT_EQ(modeOf(kRootLog), 0640u);
    EXPECT_EQ(modeOf(kInfoLog), 0640u);
    EXPECT_EQ(modeOf(kCommentedLog), 0666u);
    EXPECT_EQ(readFile(kRootLog), "DEBUG [TestBody:" + std::to_string(line) + "] debug line\n");
    EXPECT_EQ(readFile(kInfoLog), "INFO [TestBody:" + std::to_string(line + 1) + "] milestone 1\n");

    const std::string filler(200, 'x');
    for (int i = 0; i < 40; ++i) {
        LOG_INFO_CATEGORY("%d %s", i, filler.c_str());
    }
    ASSERT_EQ(access((kInfoLog + ".1").c_str(), F_OK), 0) << "no rollover happened";
    EXPECT_EQ(modeOf(kInfoLog), 0640u);
    EXPECT_EQ(modeOf(kInfoLog + ".1"), 0640u);
}

// A line reads as the appender's pattern lays it out, also where the pattern
// cuts or pads the message (laid out line by line) and where it dates and
// names the thread (laid out once per millisecond around the message).
TEST(LoggerTest, LinesFollowTheirAppendersPattern)
{
    writeProperties("log4cpp.rootCategory=INFO, dated, cut\n" +
                    appender("dated", kRootLog, "%d{%Y-%m-%d %H:%M:%S.%l} %t [%p] %m %n") +
                    appender("cut", kInfoLog, "%.8m|%-7p|%n"));
    const int line = __LINE__ + 1;
    LOG_WARN("hello %d", 5);
    const std::vector<std::string> lines{"a", "b"};
    LOG_INFO_LINES(lines);

    const std::string thread = std::to_string(static_cast<unsigned long>(pthread_self()));
    const std::regex dated("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} " + thread + " \\[WARN\\] \\[TestBody:" +
                           std::to_string(line) + "\\] hello 5 \n" + "(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} " +
                           thread + " \\[INFO\\] \\[TestBody:" + std::to_string(line + 2) + "\\] [ab] \n){2}");
    EXPECT_TRUE(std::regex_match(readFile(kRootLog), dated)) << readFile(kRootLog);
    EXPECT_EQ(readFile(kInfoLog), "[TestBod|WARN   |\n[TestBod|INFO   |\n[TestBod|INFO   |\n");
}

// The lines macro asks root and the milestone macro the category "INFO",
// each before its arguments are worked out.
TEST(LoggerTest, InfoLinesAndMilestonesAskTheirLevelBeforeTheirArguments)
{
    writeProperties("log4cpp.rootCategory=DEBUG, file\nlog4cpp.category.INFO=INFO, file\n" +
                    appender("file", kRootLog, "%m%n"));
    Logger::getInstance();
    // The levels of root and of "INFO", then how often each macro's
    // arguments are worked out.
    for (const auto& [rootLevel, infoLevel, linesWorked, milestonesWorked] :
         {std::tuple{400, 400, 0, 0}, {700, 400, 1, 0}, {400, 600, 0, 1}}) {
        SCOPED_TRACE(std::to_string(rootLevel) + " " + std::to_string(infoLevel));
        log4cpp::Category::getRoot().setPriority(rootLevel);
        log4cpp::Category::getInstance("INFO").setPriority(infoLevel);
        int lines = 0;
        int milestones = 0;
        LOG_INFO_LINES((++lines, std::vector<std::string>{"line"}));
        LOG_INFO_CATEGORY("%d", ++milestones);
        EXPECT_EQ(lines, linesWorked);
        EXPECT_EQ(milestones, milestonesWorked);
    }
}

// A width or precision on the message pads or cuts it as log4cpp's own
// layout of the same event does, for messages shorter and longer than the
// text the logger tries its layouts with.
TEST(LoggerTest, MessageWidthAndPrecisionAsLog4cppLaysThemOut)
{
    const std::vector<std::pair<std::string, std::string>> files{{kRootLog, "%p %-12m|%n"},
                                                                 {kInfoLog, "%p %.30m|%n"}};
    writeProperties("log4cpp.rootCategory=INFO, padded, cut\n" + appender("padded", files[0].first, files[0].second) +
                    appender("cut", files[1].first, files[1].second));
    const std::vector<std::string> texts{"a", std::string(100, 'z')};
    for (const auto& text : texts) {
        Logger::getInstance()->logInfo("f", 1, "%s", text.c_str());
    }
    for (const auto& [file, pattern] : files) {
        log4cpp::PatternLayout layout;
        layout.setConversionPattern(pattern);
        std::string expected;
        for (const auto& text : texts) {
            expected += layout.format(log4cpp::LoggingEvent("", "[f:1] " + text, "", log4cpp::Priority::INFO));
        }
        EXPECT_EQ(readFile(file), expected) << pattern;
    }
}

// With a console appender beside it log4cpp writes the lines itself; the
// file a rollover opens there is not inherited by programs started later.
TEST(LoggerTest, FileOpenedByARolloverThroughLog4cppIsCloseOnExec)
{
    writeProperties("log4cpp.rootCategory=INFO, console, rolling\n"
                    "log4cpp.appender.console=org.apache.log4cpp.ConsoleAppender\n"
                    "log4cpp.appender.console.threshold=ERROR\n"
                    "log4cpp.appender.console.layout=org.apache.log4cpp.SimpleLayout\n" +
                    appender("rolling", kRootLog, "%m%n", "RollingFileAppender") +
                    "log4cpp.appender.rolling.maxFileSize=1024\nlog4cpp.appender.rolling.maxBackupIndex=1\n");
    const std::string filler(100, 'x');
    for (int i = 0; i < 15; ++i) {
        LOG_INFO("%d %s", i, filler.c_str());
    }
    ASSERT_EQ(access((kRootLog + ".1").c_str(), F_OK), 0) << "no rollover happened";

    int opened = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == kRootLog) {
            ++opened;
            EXPECT_NE(fcntl(std::stoi(entry.path().filename()), F_GETFD) & FD_CLOEXEC, 0);
        }
    }
    EXPECT_EQ(opened, 1);
}

// A line carries one time in every file: here one file lays its lines out
// once per millisecond and the other line by line.
TEST(LoggerTest, OneLineHasOneTimeInEveryFile)
{
    const std::string stamp = "%d{%H:%M:%S.%l} ";
    writeProperties("log4cpp.rootCategory=INFO, spliced, whole\n" + appender("spliced", kRootLog, stamp + "%m%n") +
                    appender("whole", kInfoLog, stamp + "%.1000m%n"));
    std::vector<std::string> messages;
    for (int i = 0; i < 10000; ++i) {
        messages.push_back(std::to_string(i));
    }
    LOG_INFO_LINES(messages);

    std::istringstream spliced(readFile(kRootLog));
    std::istringstream whole(readFile(kInfoLog));
    size_t count = 0;
    for (std::string one, other; std::getline(spliced, one); ++count) {
        ASSERT_TRUE(std::getline(whole, other));
        ASSERT_EQ(one, other);
    }
    EXPECT_EQ(count, messages.size());
}

// Threads writing one file opened for appending, without a lock, never cut
// or mix each other's lines.
TEST(LoggerTest, ConcurrentLinesStayWhole)
{
    writeProperties("log4cpp.rootCategory=INFO, file\n" + appender("file", kRootLog, "%p %m%n"));
    const std::string filler(300, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &filler] {
            for (int i = 0; i < 200; ++i) {
                LOG_INFO("%d %s", t, filler.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::regex line("INFO \\[operator\\(\\):\\d+\\] [0-7] x{300}");
    std::istringstream file(readFile(kRootLog));
    size_t count = 0;
    for (std::string text; std::getline(file, text); ++count) {
        ASSERT_TRUE(std::regex_match(text, line)) << text;
    }
    EXPECT_EQ(count, 1600u);
}

// A hold keeps its thread's lines, of every level and from holds opened
// inside it, until it closes (also by an exception) and then writes them in
// their order; another thread's line goes out meanwhile.
TEST(LoggerTest, HeldLinesFollowInOrderAndOtherThreadsAreNotHeld)
{
    writeProperties("log4cpp.rootCategory=DEBUG, file\n" + appender("file", kRootLog, "%p %m%n"));
    const auto text = [](const std::string& level, int line, const std::string& message) {
        return level + " [TestBody:" + std::to_string(line) + "] " + message + "\n";
    };
    std::string other;
    std::string held;
    try {
        const Logger::Hold hold;
        LOG_INFO("one");
        held += text("INFO", __LINE__ - 1, "one");
        {
            const Logger::Hold inner;
            LOG_DEBUG("two");
            held += text("DEBUG", __LINE__ - 1, "two");
        }
        std::thread([] { LOG_WARN("other"); }).join();
        other = readFile(kRootLog);
        LOG_ERROR("three");
        held += text("ERROR", __LINE__ - 1, "three");
        throw std::runtime_error("unwound");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(std::regex_match(other, std::regex("WARN \\[operator\\(\\):\\d+\\] other\n"))) << other;
    EXPECT_EQ(readFile(kRootLog), other + held);
}
