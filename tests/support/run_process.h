// Child processes of a test: dead with the test process at the latest, and
// every wait with a time limit.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Polls done() every 10 ms until it holds (true) or the limit passes (false).
bool waitFor(const std::function<bool()>& done, double timeoutSeconds);

// A signal set of a /proc status file ("SigBlk", "SigIgn", "SigCgt"): bit
// n - 1 for signal n; 0 when the file or the line is missing.
uint64_t procSignalSet(const std::string& statusFile, const std::string& field);

class ChildProcess {
public:
    ChildProcess() = default;
    // A forked child exiting with body's result; in a threaded test body must not allocate.
    explicit ChildProcess(const std::function<int()>& body);
    // argv[0] is a path (no PATH search); stdin /dev/null, stdout and stderr to outputFd or /dev/null.
    explicit ChildProcess(const std::vector<std::string>& argv, int outputFd = -1);
    ~ChildProcess() { stop(); }
    ChildProcess(ChildProcess&& other) noexcept : m_pid(other.m_pid) { other.m_pid = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool ok() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }  // -1 when the fork failed or once reaped

    // False, and still running, when the limit passes first.
    bool reap(double timeoutSeconds, int& status);
    // Sends the signal and reaps it, killed if still there after 5 s.
    void stop(int signal = 9);

private:
    pid_t m_pid = -1;
};

// A child named by prctl, so /proc/<pid>/comm reads as planted; a zombie has
// no executable any more. Create these before the test starts threads.
class NamedProcess : public ChildProcess {
public:
    enum class State { Stopped, Zombie };
    explicit NamedProcess(const std::string& name, State state = State::Stopped);
};

// The system calls body makes, counted in a traced child (a count, not a
// time, for cost tests); -1 when the child could not be traced or ran past
// the limit.
long countSystemCalls(const std::function<void()>& body, double timeoutSeconds);

struct ProcessResult {
    std::string how;     // "exit 3", "signal 9", "timed out" (then killed) or "not started"
    int status = -1;     // exit status when it exited
    std::string output;  // standard output and standard error, interleaved
};

ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds);

inline std::string describe(const ProcessResult& result) { return result.how; }

#ifdef VETU_BINARY_DIR
inline ProcessResult runLabelManager(std::vector<std::string> args, double timeoutSeconds = 60)
{
    args.insert(args.begin(), VETU_BINARY_DIR "/vetu-label-manager");
    return runProcess(args, timeoutSeconds);
}
#endif
