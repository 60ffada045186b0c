// Runs a program in a child process (inside the test's namespace) with a
// time limit, and hands back its exit status and what it printed.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    bool started = false;   // forked (an exec that fails exits 127)
    bool timedOut = false;  // killed at the time limit
    int signal = 0;         // the signal that ended it, 0 when it exited
    int status = -1;        // exit status when it exited
    std::string output;     // standard output and standard error, interleaved
};

// argv[0] is the program path (not searched in PATH). The child gets the
// current environment; stdin is /dev/null.
ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds);

// "exit 3", "signal 9", "timed out" or "not started", for failure messages.
std::string describe(const ProcessResult& result);

#ifdef VETU_BINARY_DIR
// The built executable with the given arguments.
inline ProcessResult runLabelManager(std::vector<std::string> args, double timeoutSeconds = 60)
{
    args.insert(args.begin(), VETU_BINARY_DIR "/vetu-label-manager");
    return runProcess(args, timeoutSeconds);
}
#endif
