#include "daemon/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common/command.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/paths.h"

namespace {

constexpr const char kExecutableName[] = "vetu-label-manager";
constexpr mode_t kLockFileMode = 0600;

// Both live as long as the process: the kernel drops them when it ends, so
// a crash leaves nothing that blocks the next start. Close-on-exec, so that
// the programs the daemon runs never hold them after it is gone.
int g_instanceSocket = -1;
int g_lockFd = -1;

void printError(const std::string& text)
{
    const std::string line = text + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

void diagnoseDuplicateInstance(pid_t pid)
{
    try {
        for (const auto& [exe, pids] : findProcessExeFile()) {
            const size_t slash = exe.rfind('/');
            if (exe.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, kExecutableName) != 0) {
                continue;
            }
            for (int other : pids) {
                // The parent that started this process waits for its
                // answer; it is no other instance.
                if (other != pid && other != getppid()) {
                    LOG_ERROR("  Conflict PID: %d, Path: %s", other, logSafe(exe).c_str());
                }
            }
        }
    } catch (const std::exception& e) {
        LOG_ERROR("Exception in process scan: %s", logSafe(e.what()).c_str());
    }
}

bool checkProcess()
{
    const pid_t pid = getpid();
    if (g_instanceSocket < 0) {
        g_instanceSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (g_instanceSocket < 0) {
            LOG_ERROR("Failed to create socket: %s", strerror(errno));
            printError(std::string("Error: Cannot create socket: ") + strerror(errno));
            return false;
        }
    }
    // The whole path field is the name: a NUL, the name, zero bytes.
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const size_t room = sizeof(address.sun_path) - 2;
    const size_t length = std::min(strlen(paths::kInstanceSocketName), room);
    std::copy(paths::kInstanceSocketName, paths::kInstanceSocketName + length, address.sun_path + 1);
    if (bind(g_instanceSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno == EADDRINUSE) {
            LOG_ERROR("Duplicate instance detected (abstract socket in use)");
            printError("Error: Duplicate instance running.");
        } else {
            const int err = errno;
            LOG_ERROR("Socket bind failed: %s", strerror(err));
            printError(std::string("Error: Socket bind failed: ") + strerror(err));
        }
        diagnoseDuplicateInstance(pid);
        return false;
    }
    if (g_lockFd < 0) {
        g_lockFd = open(paths::kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
        if (g_lockFd < 0) {
            LOG_ERROR("Failed to open lock file %s: %s", paths::kLockFile, strerror(errno));
            return false;
        }
    }
    if (flock(g_lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            LOG_ERROR("Lock file held by another process (socket OK but flock blocked)");
        } else {
            LOG_ERROR("flock failed: %s", strerror(errno));
        }
        diagnoseDuplicateInstance(pid);
        return false;
    }
    if (ftruncate(g_lockFd, 0) == 0) {
        char text[32];
        const int n = snprintf(text, sizeof(text), "%d\n", static_cast<int>(pid));
        if (pwrite(g_lockFd, text, static_cast<size_t>(n), 0) != n) {
            LOG_WARN("Failed to write PID to lock file: %s", strerror(errno));
        }
    }
    LOG_INFO_CATEGORY("Acquired socket + lock, PID: %d", static_cast<int>(pid));
    return true;
}
