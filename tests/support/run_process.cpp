#include "support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "common/file_utils.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

// Made before the fork: a child of a threaded process must not allocate.
std::vector<char*> argvOf(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

// In the child: in, out and err as 0, 1 and 2, no signal blocked, then the program.
[[noreturn]] void execChild(std::vector<char*>& args, int in, int out, int err)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (in >= 0 && dup2(in, 0) >= 0 && dup2(out, 1) >= 0 && dup2(err, 2) >= 0) {
        execve(args[0], args.data(), environ);
    }
    _exit(127);
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds)
{
    ProcessResult result;
    // The output goes to a file rather than a pipe: a grandchild that keeps
    // a pipe open would hold the caller up.
    char outPath[] = "/tmp/vetu-run-XXXXXX";
    const int out = mkostemp(outPath, O_CLOEXEC);
    if (argv.empty() || out < 0) {
        return result;
    }
    std::vector<char*> args = argvOf(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        execChild(args, open("/dev/null", O_RDONLY), out, out);
    }
    close(out);
    result.started = pid > 0;
    int status = 0;
    if (result.started && !waitChildWithin(pid, timeoutSeconds, status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        result.timedOut = true;
    } else if (result.started && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (result.started && WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.output = readFile(outPath);
    unlink(outPath);
    return result;
}

std::string describe(const ProcessResult& result)
{
    if (!result.started) {
        return "not started";
    }
    if (result.timedOut) {
        return "timed out";
    }
    if (result.signal != 0) {
        return "signal " + std::to_string(result.signal);
    }
    return "exit " + std::to_string(result.status);
}

bool readLineWithin(int fd, double timeoutSeconds, std::string& line)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    line.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        line.push_back(c);
    }
}

bool waitChildWithin(int pid, double timeoutSeconds, int& status)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return true;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        usleep(1000);
    }
}

void stopChild(int pid, int signal, double timeoutSeconds)
{
    if (pid <= 0) {
        return;
    }
    kill(pid, signal);
    int status;
    if (!waitChildWithin(pid, timeoutSeconds, status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

int spawnDaemon(const std::vector<std::string>& argv, int stdoutFd, int keepFd)
{
    std::vector<char*> args = argvOf(argv);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (keepFd >= 0) {
        fcntl(keepFd, F_SETFD, 0);
    }
    const int null = open("/dev/null", O_RDWR);
    execChild(args, null, stdoutFd >= 0 ? stdoutFd : null, null);
}
