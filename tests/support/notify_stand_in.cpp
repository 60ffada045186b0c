#include "support/notify_stand_in.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "common/paths.h"
#include "support/id_pairs_stub.h"

namespace {

constexpr size_t kMaxRequest = 4096;

bool waitReadable(int fd, double seconds)
{
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, static_cast<int>(seconds * 1000)) > 0;
}

}  // namespace

NotifyStandIn::NotifyStandIn()
{
    id_pairs_stub::create();
    std::ofstream(paths::kNotify, std::ios::app);  // the mount point
    // The server's end is inherited (no close-on-exec) and named on its command line.
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0 || fcntl(pair[0], F_SETFD, FD_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    }
    m_server = ChildProcess({VETU_NOTIFY_FUSE_SERVER, paths::kNotify, std::to_string(pair[1])});
    close(pair[1]);
    m_control = pair[0];
    char ready = 0;
    if (!m_server.ok() || !waitReadable(m_control, 10) || recv(m_control, &ready, 1, 0) != 1 || ready != 'R') {
        close(m_control);
        throw std::runtime_error("notify stand-in did not start");
    }
}

NotifyStandIn::~NotifyStandIn()
{
    // Unmounting ends a live server's session (stop() reaps it); a killed one left its mount.
    umount2(paths::kNotify, MNT_DETACH);
    close(m_control);
}

bool NotifyStandIn::send(const std::string& packet)
{
    return ::send(m_control, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
}

bool NotifyStandIn::queue(uint32_t id, uint32_t flag, int32_t pid, const std::string& path)
{
    const uint32_t head[] = {id, flag, static_cast<uint32_t>(pid)};
    const std::string bytes(reinterpret_cast<const char*>(head), sizeof(head));
    return bytes.size() + path.size() <= kMaxRequest && send(bytes + path);
}

bool NotifyStandIn::queueEmptyReads(size_t count)
{
    // The server's sign for empty reads: a packet longer than any request.
    return send(std::string(kMaxRequest + count, '\0'));
}

bool NotifyStandIn::nextWrite(std::string& bytes, double timeoutSeconds)
{
    const ssize_t n = waitReadable(m_control, timeoutSeconds) ? recv(m_control, m_buffer.data(), m_buffer.size(), 0) : 0;
    bytes.assign(m_buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
    return n > 0;
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
