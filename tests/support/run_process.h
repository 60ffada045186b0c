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

// argv[0] is the program's path (no PATH search); stdin is /dev/null.
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

// One line from fd without its line feed; false at its end, on an error or
// past the time limit.
bool readLineWithin(int fd, double timeoutSeconds, std::string& line);

// Waits for a child to exit; false when the time limit passes first.
bool waitChildWithin(int pid, double timeoutSeconds, int& status);

// Sends the signal and reaps the child, killed if still there at the limit.
void stopChild(int pid, int signal, double timeoutSeconds);

// Starts a program that runs beside the test (a daemon): it dies with the
// test process, stdin and stderr are /dev/null, stdout is stdoutFd or
// /dev/null (-1), and keepFd (-1: none) stays open across exec. The pid, or
// -1 when fork fails.
int spawnDaemon(const std::vector<std::string>& argv, int stdoutFd = -1, int keepFd = -1);
