#include "support/run_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "common/file_utils.h"

extern char** environ;

bool waitFor(const std::function<bool()>& done, double timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

uint64_t procSignalSet(const std::string& statusFile, const std::string& field)
{
    const std::string status = readFile(statusFile);
    const size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
}

ChildProcess::ChildProcess(const std::function<int()>& body) : m_pid(fork())
{
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        _exit(body());
    }
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, int outputFd)
{
    // Made before the fork: a child of a threaded process must not allocate.
    std::vector<char*> args(argv.size() + 1);
    std::transform(argv.begin(), argv.end(), args.begin(), [](auto& arg) { return const_cast<char*>(arg.c_str()); });
    m_pid = argv.empty() ? -1 : fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        const int out = outputFd >= 0 ? outputFd : null;
        if (null >= 0 && dup2(null, 0) >= 0 && dup2(out, 1) >= 0 && dup2(out, 2) >= 0) {
            execve(args[0], args.data(), environ);
        }
        _exit(127);
    }
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        stop();
        m_pid = std::exchange(other.m_pid, -1);
    }
    return *this;
}

bool ChildProcess::reap(double timeoutSeconds, int& status)
{
    return m_pid > 0 && waitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeoutSeconds) &&
           (m_pid = -1, true);
}

void ChildProcess::stop(int signal)
{
    int status;
    if (m_pid > 0 && (kill(m_pid, signal), !reap(5, status))) {
        kill(m_pid, SIGKILL);
        waitpid(std::exchange(m_pid, -1), &status, 0);
    }
}

NamedProcess::NamedProcess(const std::string& name, State state)
    : ChildProcess([&] {
          prctl(PR_SET_NAME, name.c_str());
          if (state == State::Stopped) {
              raise(SIGSTOP);
          }
          return 0;
      })
{
    siginfo_t info{};
    const int options = (state == State::Stopped ? WSTOPPED : WEXITED) | WNOWAIT;
    if (ok() && waitid(P_PID, static_cast<id_t>(pid()), &info, options) != 0) {
        stop();
    }
}

long countSystemCalls(const std::function<void()>& body, double timeoutSeconds)
{
    ChildProcess child([&body] {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0) {
            return 1;
        }
        body();
        return 0;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    // Stops come thousands a second: no sleep between the looks.
    const auto nextStop = [&] {
        pid_t got = 0;
        while ((got = waitpid(child.pid(), &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            sched_yield();
        }
        return got == child.pid() && WIFSTOPPED(status);
    };
    if (!child.ok() || !nextStop() ||
        ptrace(PTRACE_SETOPTIONS, child.pid(), nullptr,
               PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL) != 0) {
        return -1;
    }
    long syscallStops = 0;
    int signal = 0;
    while (ptrace(PTRACE_SYSCALL, child.pid(), nullptr, signal) == 0 && nextStop()) {
        signal = 0;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            ptrace(PTRACE_DETACH, child.pid(), nullptr, 0);
            return child.reap(timeoutSeconds, status) ? (syscallStops + 1) / 2 : -1;
        }
        if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
            ++syscallStops;  // entry and exit each stop once
        } else {
            signal = WSTOPSIG(status);
        }
    }
    return -1;
}

ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds)
{
    ProcessResult result;
    // The output goes to a file rather than a pipe: a grandchild that keeps
    // a pipe open would hold the caller up.
    char outPath[] = "/tmp/vetu-run-XXXXXX";
    const int out = mkostemp(outPath, O_CLOEXEC);
    ChildProcess child(argv, out);
    close(out);
    int status = 0;
    if (out < 0 || !child.ok()) {
        result.how = "not started";
    } else if (!child.reap(timeoutSeconds, status)) {
        result.how = "timed out";
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
        result.how = "exit " + std::to_string(result.status);
    } else {
        result.how = "signal " + std::to_string(WTERMSIG(status));
    }
    result.output = readFile(outPath);
    unlink(outPath);
    return result;
}
