// The executable's command line: every usage error exits 1 with the usage
// its argument count calls for, and the log survives closed standard
// descriptors (the log file would take one of their numbers, and the
// reopening of the streams would close it).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_process.h"

TEST(CommandLineTest, UsageErrorsExitOneWithTheirUsage)
{
    const std::string self = VETU_BINARY_DIR "/vetu-label-manager";
    const std::string usage = "Please input the parameters like this, " + self;
    const std::pair<std::string, std::string> rows[] = {
        {"-x", usage + " -s"},
        {"-s x", usage + " -d filepath"},
        {"-d /tmp x", usage + " -d dir --excluded dir"},
        {"-x 0<&- 1>&- 2>&-", "vetu label restore: Invalid parameter..."},
        {"-x 2>&-", "vetu label restore: Invalid parameter..."},
    };
    for (const auto& [args, line] : rows) {
        clearProgramLog();
        EXPECT_EQ(describe(runProcess({"/bin/sh", "-c", "exec \"$0\" " + args, self}, 30)), "exit 1") << args;
        EXPECT_TRUE(ProgramLog().has(line)) << args << "\n" << ProgramLog().dump();
    }
}
