#include "support/notify_stand_in.h"

#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "common/paths.h"
#include "support/id_pairs_stub.h"

namespace {

constexpr int kServerControlFd = 3;
constexpr size_t kMaxRequest = 4096;
constexpr size_t kMaxWrite = 256 * 1024;
constexpr double kStartSeconds = 10;
constexpr double kEndSeconds = 5;

bool waitReadable(int fd, double seconds)
{
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, static_cast<int>(seconds * 1000)) > 0;
}

bool reap(pid_t pid, double seconds)
{
    for (int waited = 0; waitpid(pid, nullptr, WNOHANG) == 0; ++waited) {
        if (waited > seconds * 200) {
            return false;
        }
        usleep(5000);
    }
    return true;
}

}  // namespace

NotifyStandIn::NotifyStandIn()
{
    id_pairs_stub::create();
    std::ofstream(paths::kNotify, std::ios::app);  // the mount point
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    }
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent || dup2(pair[1], kServerControlFd) < 0) {
            _exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execl(VETU_NOTIFY_FUSE_SERVER, VETU_NOTIFY_FUSE_SERVER, paths::kNotify, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pair[1]);
    m_control = pair[0];
    char ready = 0;
    m_mounted = m_pid > 0 && waitReadable(m_control, kStartSeconds) && recv(m_control, &ready, 1, 0) == 1 &&
                ready == 'R';
    if (!m_mounted) {
        shutdown();
        throw std::runtime_error("notify stand-in did not start");
    }
}

NotifyStandIn::~NotifyStandIn()
{
    shutdown();
}

void NotifyStandIn::shutdown()
{
    // Unmounting ends a live server's session; a killed one left its mount.
    if (m_mounted) {
        umount2(paths::kNotify, MNT_DETACH);
        m_mounted = false;
    }
    if (m_control >= 0) {
        close(m_control);
        m_control = -1;
    }
    if (m_pid > 0 && !reap(m_pid, kEndSeconds)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
}

std::string NotifyStandIn::request(uint32_t id, uint32_t flag, int32_t pid, const std::string& path)
{
    std::string bytes(12, '\0');
    memcpy(&bytes[0], &id, 4);
    memcpy(&bytes[4], &flag, 4);
    memcpy(&bytes[8], &pid, 4);
    return bytes + path;
}

bool NotifyStandIn::queue(const std::string& bytes)
{
    if (bytes.empty() || bytes.size() > kMaxRequest) {
        return false;
    }
    return send(m_control, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool NotifyStandIn::queueEmptyReads(size_t count)
{
    // The server's sign for empty reads: a packet longer than any request.
    const std::string sign(kMaxRequest + count, '\0');
    return send(m_control, sign.data(), sign.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(sign.size());
}

bool NotifyStandIn::nextWrite(std::string& bytes, double timeoutSeconds)
{
    if (!waitReadable(m_control, timeoutSeconds)) {
        return false;
    }
    m_buffer.resize(kMaxWrite);
    const ssize_t n = recv(m_control, m_buffer.data(), m_buffer.size(), 0);
    if (n <= 0) {
        return false;
    }
    bytes.assign(m_buffer.data(), static_cast<size_t>(n));
    return true;
}

bool NotifyStandIn::nextReply(NotifyReply& reply, double timeoutSeconds)
{
    std::string bytes;
    if (!nextWrite(bytes, timeoutSeconds) || bytes.size() < 8) {
        return false;
    }
    memcpy(&reply.id, bytes.data(), 4);
    memcpy(&reply.status, bytes.data() + 4, 4);
    reply.label = bytes.substr(8);
    return true;
}

void NotifyStandIn::killServer()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;  // reaped; the mount is still there
    }
}
