#include "daemon/daemonize.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "daemon/daemon_signals.h"
#include "daemon/redirect_to_null.h"

namespace {

constexpr mode_t kChildUmask = 007;
constexpr char kGuardHeld = '1';
constexpr char kGuardRefused = '0';

int g_reportFd = -1;

[[noreturn]] void waitForGuard(pid_t child, int reportFd)
{
    char result = 0;
    ssize_t n;
    do {
        n = read(reportFd, &result, 1);
    } while (n < 0 && errno == EINTR);
    close(reportFd);
    if (n == 1) {
        _exit(result == kGuardHeld ? 0 : 1);
    }
    // The child ended before it got to the guard.
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

}  // namespace

void daemonize()
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        exit(1);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        exit(1);
    }
    if (pid > 0) {
        close(report[1]);
        waitForGuard(pid, report[0]);
    }
    close(report[0]);
    g_reportFd = report[1];
    umask(kChildUmask);
    (void)setsid();
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    installStopHandler(SIGHUP);
    if (redirectToNull() != 0) {
        exit(0);
    }
}

void reportGuardResult(bool held)
{
    if (g_reportFd < 0) {
        return;
    }
    const char result = held ? kGuardHeld : kGuardRefused;
    (void)!write(g_reportFd, &result, 1);
    close(g_reportFd);
    g_reportFd = -1;
}
