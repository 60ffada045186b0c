#include "support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void finish(ProcessResult& result, int status)
{
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds)
{
    ProcessResult result;
    if (argv.empty()) {
        return result;
    }
    int out[2];
    int report[2];  // closed by exec; carries errno when exec fails
    if (pipe2(out, O_CLOEXEC) != 0) {
        return result;
    }
    if (pipe2(report, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {out[0], out[1], report[0], report[1]}) {
            close(fd);
        }
        return result;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0) {
            _exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(args[0], args.data(), environ);
        const int err = errno;
        (void)!write(report[1], &err, sizeof(err));
        _exit(127);
    }
    close(out[1]);
    close(report[1]);
    int execErr = 0;
    const bool execFailed = read(report[0], &execErr, sizeof(execErr)) == static_cast<ssize_t>(sizeof(execErr));
    close(report[0]);
    result.started = !execFailed;

    // Reads until the child has exited; a grandchild that keeps the pipe
    // open does not hold the caller up.
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    bool outOpen = true;
    char buf[65536];
    int status = 0;
    for (;;) {
        if (outOpen) {
            struct pollfd pfd = {out[0], POLLIN, 0};
            if (poll(&pfd, 1, 20) > 0) {
                const ssize_t n = read(out[0], buf, sizeof(buf));
                if (n > 0) {
                    result.output.append(buf, static_cast<size_t>(n));
                    continue;
                }
                if (n == 0 || errno != EINTR) {
                    outOpen = false;
                }
            }
        } else {
            usleep(5000);
        }
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            finish(result, status);
            break;
        }
        if (done < 0 && errno != EINTR) {
            break;
        }
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timedOut = true;
            break;
        }
    }
    if (outOpen) {
        fcntl(out[0], F_SETFL, O_NONBLOCK);
        ssize_t n;
        while ((n = read(out[0], buf, sizeof(buf))) > 0) {
            result.output.append(buf, static_cast<size_t>(n));
        }
    }
    close(out[0]);
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
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (keepFd >= 0) {
        fcntl(keepFd, F_SETFD, 0);
    }
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(stdoutFd >= 0 ? stdoutFd : null, 1) < 0 || dup2(null, 2) < 0) {
        _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(args[0], args.data(), environ);
    _exit(127);
}
