// Runs a program in a child process (inside the test's namespace) with a
// time limit, and hands back its exit status and what it printed.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    bool started = false;   // fork and exec succeeded
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

// Reads one line (without its line feed) from fd; false at end of file, on
// an error or when the time limit passes first.
bool readLineWithin(int fd, double timeoutSeconds, std::string& line);

// Waits for a child to exit; false (child still there) when the time limit
// passes first.
bool waitChildWithin(int pid, double timeoutSeconds, int& status);

// Sends the signal and reaps the child, killing it when it is still there
// after the time limit.
void stopChild(int pid, int signal, double timeoutSeconds);

// Starts a program that runs beside the test (a daemon): it dies with the
// test process, stdin and stderr are /dev/null, stdout is stdoutFd or
// /dev/null (-1), and keepFd (-1: none) stays open across exec. The pid, or
// -1 when fork fails.
int spawnDaemon(const std::vector<std::string>& argv, int stdoutFd = -1, int keepFd = -1);
