// The executable's command line: every usage error exits 1 with the usage
// its argument count calls for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_process.h"

namespace {

const std::string kSelf = VETU_BINARY_DIR "/vetu-label-manager";
const std::string kInvalid = "vetu label restore: Invalid parameter...";

}  // namespace

TEST(CommandLineTest, UsageErrorsExitOneWithTheirUsage)
{
    const std::string usage = "Please input the parameters like this, " + kSelf;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-x"}, usage + " -s"},
        {{"-s", "x"}, usage + " -d filepath"},
        {{"-d", "/tmp", "x"}, usage + " -d dir --excluded dir"},
    };
    for (const auto& [args, hint] : cases) {
        clearProgramLog();
        EXPECT_EQ(describe(runLabelManager(args, 30)), "exit 1") << args[0];
        EXPECT_TRUE(ProgramLog().has(hint)) << args[0] << "\n" << ProgramLog().dump();
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
