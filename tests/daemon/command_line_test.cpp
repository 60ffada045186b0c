// The executable's command line: every usage error exits 1 with its
// messages, before any job work is done.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_process.h"

namespace {

const std::string kSelf = VETU_BINARY_DIR "/vetu-label-manager";
const std::string kInvalid = "vetu label restore: Invalid parameter...";
using Messages = std::vector<std::pair<std::string, std::string>>;  // level, text, in order

}  // namespace

TEST(CommandLineTest, UsageErrorsExitOneWithTheirMessages)
{
    const std::string hintS = "Please input the parameters like this, " + kSelf + " -s";
    const std::string hintD = "Please input the parameters like this, " + kSelf + " -d filepath";
    const std::string hintX = "Please input the parameters like this, " + kSelf + " -d dir --excluded dir";
    const std::pair<std::vector<std::string>, Messages> cases[] = {
        {{"-x"}, {{"ERROR", kInvalid}, {"INFO", hintS}}},
        {{"-s", "x"}, {{"ERROR", kInvalid}, {"INFO", hintD}}},
        {{"-d", "/tmp", "x"}, {{"ERROR", hintX}}},
        // The exclusion list is read before argument 1 is looked at.
        {{"-x", "/tmp", "--excluded", "a", "b"},
         {{"INFO", "exclude dir, a"}, {"INFO", "exclude dir, b"}, {"ERROR", kInvalid}, {"INFO", hintD}}},
    };
    for (const auto& [args, messages] : cases) {
        clearProgramLog();
        EXPECT_EQ(describe(runLabelManager(args, 30)), "exit 1") << args[0];
        const ProgramLog log;
        Messages seen;
        for (size_t i = 1; i < log.lines().size(); ++i) {  // after the build date
            seen.emplace_back(log.lines()[i].level, stripLogPrefix(log.lines()[i].message));
        }
        EXPECT_EQ(seen, messages) << args[0] << "\n" << log.dump();
    }
}

// Started with the standard descriptors closed, the log file would take one of
// their numbers and the reopening of the streams would close it: every later
// line would be lost.
TEST(CommandLineTest, ClosedStandardDescriptorsKeepTheLog)
{
    for (const char* closing : {"0<&- 1>&- 2>&-", "2>&-"}) {
        clearProgramLog();
        const std::string script = std::string("exec ") + closing + " \"$0\" -x";
        EXPECT_EQ(describe(runProcess({"/bin/sh", "-c", script, kSelf}, 30)), "exit 1") << closing;
        EXPECT_TRUE(ProgramLog().has(kInvalid, "ERROR")) << closing << "\n" << ProgramLog().dump();
    }
}
