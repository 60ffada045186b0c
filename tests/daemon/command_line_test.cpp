// The executable's command line: every usage error exits 1 with its
// messages, before any job work is done.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_process.h"
#include "support/temp_tree.h"

namespace {

const std::string kSelf = VETU_BINARY_DIR "/vetu-label-manager";
const std::string kInvalid = "vetu label restore: Invalid parameter...";

struct UsageCase {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> messages;  // level, text, in order
};

}  // namespace

TEST(CommandLineTest, UsageErrorsExitOneWithTheirMessages)
{
    const std::string hintS = "Please input the parameters like this, " + kSelf + " -s";
    const std::string hintD = "Please input the parameters like this, " + kSelf + " -d filepath";
    const std::string hintX = "Please input the parameters like this, " + kSelf + " -d dir --excluded dir";
    const std::vector<UsageCase> cases = {
        {{"-x"}, {{"ERROR", kInvalid}, {"INFO", hintS}}},
        {{"-d"}, {{"ERROR", kInvalid}, {"INFO", hintS}}},
        {{"--sync-path-id "}, {{"ERROR", kInvalid}, {"INFO", hintS}}},
        {{""}, {{"ERROR", kInvalid}, {"INFO", hintS}}},
        {{"-s", "x"}, {{"ERROR", kInvalid}, {"INFO", hintD}}},
        {{"-d", "/tmp", "x"}, {{"ERROR", hintX}}},
        {{"-x", "/tmp", "y", "z"}, {{"ERROR", kInvalid}, {"INFO", hintD}}},
        // The exclusion list is read before argument 1 is looked at.
        {{"-x", "/tmp", "--excluded", "a", "b"},
         {{"INFO", "exclude dir, a"}, {"INFO", "exclude dir, b"}, {"ERROR", kInvalid}, {"INFO", hintD}}},
    };
    for (const auto& c : cases) {
        std::string label;
        for (const auto& arg : c.args) {
            label += "'" + arg + "' ";
        }
        clearProgramLog();
        const ProcessResult result = runLabelManager(c.args, 30);
        EXPECT_EQ(describe(result), "exit 1") << label;
        const ProgramLog log;
        ASSERT_FALSE(log.lines().empty()) << label;
        EXPECT_EQ(stripLogPrefix(log.lines().front().message).rfind("build date: ", 0), 0u) << label;
        std::vector<std::pair<std::string, std::string>> seen;
        for (size_t i = 1; i < log.lines().size(); ++i) {
            seen.emplace_back(log.lines()[i].level, stripLogPrefix(log.lines()[i].message));
        }
        EXPECT_EQ(seen, c.messages) << label << "\n" << log.dump();
    }
}

// The standard streams are reopened first; when that fails nothing else
// runs and the status is 0.
TEST(CommandLineTest, StreamsThatCannotBeReopenedEndTheProcessWithZero)
{
    TempTree tree;
    // A read-only stand-in: reading works, writing does not.
    const std::string file = tree.file("null");
    ASSERT_EQ(mount(file.c_str(), "/dev/null", nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, "/dev/null", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const ProcessResult result = runLabelManager({"-x"}, 30);
    umount2("/dev/null", MNT_DETACH);
    EXPECT_EQ(describe(result), "exit 0");
    const ProgramLog log;
    EXPECT_TRUE(log.has("redirect stdout to /dev/null failed.", "ERROR")) << log.dump();
    EXPECT_FALSE(log.has(kInvalid)) << log.dump();
}

// Started with the standard descriptors closed, the log file would take one of
// their numbers and the reopening of the streams would close it: every later
// line would be lost.
TEST(CommandLineTest, ClosedStandardDescriptorsKeepTheLog)
{
    for (const char* closing : {"0<&- 1>&- 2>&-", "1>&- 2>&-", "2>&-"}) {
        clearProgramLog();
        const std::string script = std::string("exec ") + closing + " \"$0\" -x";
        const ProcessResult result = runProcess({"/bin/sh", "-c", script, kSelf}, 30);
        EXPECT_EQ(describe(result), "exit 1") << closing;
        const ProgramLog log;
        EXPECT_TRUE(log.has(kInvalid, "ERROR")) << closing << "\n" << log.dump();
    }
}
