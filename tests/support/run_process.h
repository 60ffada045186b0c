// Child processes of a test: each started one way and reaped one way, dead
// with the test process at the latest, and every wait with a time limit.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Polls done() every 10 ms until it holds (true) or the limit passes (false).
bool waitFor(const std::function<bool()>& done, double timeoutSeconds);

class ChildProcess {
public:
    ChildProcess() = default;
    // Forks a child that runs body and exits with its result. In a threaded
    // test body must not allocate.
    explicit ChildProcess(const std::function<int()>& body);
    // Runs a program (argv[0] its path, no PATH search) beside the test:
    // stdin is /dev/null, stdout and stderr go to outputFd or /dev/null.
    explicit ChildProcess(const std::vector<std::string>& argv, int outputFd = -1);
    // Killed and reaped unless reaped already.
    ~ChildProcess() { stop(); }
    ChildProcess(ChildProcess&& other) noexcept : m_pid(other.m_pid) { other.m_pid = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool ok() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }  // -1 when the fork failed or once reaped

    // Waits for its end and reaps it (status as waitpid gives it); false,
    // and still running, when the limit passes first.
    bool reap(double timeoutSeconds, int& status);
    // Sends the signal and reaps it, killed if still there after 5 s.
    void stop(int signal = 9);

private:
    pid_t m_pid = -1;
};

// A child under a name of the test's choosing (prctl), so that
// /proc/<pid>/comm reads as planted. A stopped one waits until it is killed;
// a zombie keeps its name but has no executable any more. Create these
// before the test starts threads of its own.
class NamedProcess : public ChildProcess {
public:
    enum class State { Stopped, Zombie };
    explicit NamedProcess(const std::string& name, State state = State::Stopped);
};

struct ProcessResult {
    std::string how;     // "exit 3", "signal 9", "timed out" (then killed) or "not started"
    int status = -1;     // exit status when it exited
    std::string output;  // standard output and standard error, interleaved
};

// Runs a program to its end, within the limit.
ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds);

inline std::string describe(const ProcessResult& result) { return result.how; }

#ifdef VETU_BINARY_DIR
// The built executable with the given arguments.
inline ProcessResult runLabelManager(std::vector<std::string> args, double timeoutSeconds = 60)
{
    args.insert(args.begin(), VETU_BINARY_DIR "/vetu-label-manager");
    return runProcess(args, timeoutSeconds);
}
#endif
