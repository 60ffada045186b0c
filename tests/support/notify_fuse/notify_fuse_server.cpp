// The kernel's notify file as a one-file FUSE file system over argv[1].
// Descriptor argv[2] is a SOCK_SEQPACKET socket to the test: a packet is one
// request for one read(2), but 4096 + n bytes stand for n empty reads; each
// write(2) goes back as a packet; "R" once mounted. One thread serves both
// sides, so a parked read, an interrupt and a queued request never race.
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

int g_control = -1;
constexpr size_t kMaxPacket = 256 * 1024;
constexpr size_t kMaxRequest = 4096;

struct State {
    std::deque<std::string> requests;
    std::deque<std::pair<fuse_req_t, size_t>> parked;  // with the size asked for
    std::set<fuse_req_t> interrupted;
};

State g_state;

// Marks only: a reply from inside the callback would race the read's own.
void onInterrupt(fuse_req_t req, void* /*data*/) { g_state.interrupted.insert(req); }

void answerInterrupted()
{
    for (auto it = g_state.parked.begin(); it != g_state.parked.end();) {
        if (g_state.interrupted.erase(it->first) > 0) {
            fuse_reply_err(it->first, EINTR);
            it = g_state.parked.erase(it);
        } else {
            ++it;
        }
    }
}

void handOut(fuse_req_t req, size_t size)
{
    g_state.interrupted.erase(req);
    const std::string request = std::move(g_state.requests.front());
    g_state.requests.pop_front();
    fuse_reply_buf(req, request.data(), request.size() < size ? request.size() : size);
}

void doGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* /*fi*/)
{
    struct stat st {};
    st.st_ino = ino;
    st.st_mode = S_IFREG | 0600;
    st.st_nlink = 1;
    fuse_reply_attr(req, &st, 0);
}

void doOpen(fuse_req_t req, fuse_ino_t /*ino*/, fuse_file_info* fi)
{
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

void doRead(fuse_req_t req, fuse_ino_t /*ino*/, size_t size, off_t /*off*/, fuse_file_info* /*fi*/)
{
    if (!g_state.requests.empty()) {
        handOut(req, size);
        return;
    }
    fuse_req_interrupt_func(req, onInterrupt, nullptr);
    g_state.parked.emplace_back(req, size);
}

void doWrite(fuse_req_t req, fuse_ino_t /*ino*/, const char* buf, size_t size, off_t /*off*/,
             fuse_file_info* /*fi*/)
{
    if (send(g_control, buf, size, MSG_NOSIGNAL) < 0) {
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_reply_write(req, size);
}

void queueRequest(std::string request)
{
    g_state.requests.push_back(std::move(request));
    if (!g_state.parked.empty()) {
        const auto parked = g_state.parked.front();
        g_state.parked.pop_front();
        handOut(parked.first, parked.second);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    g_control = argc == 3 ? atoi(argv[2]) : -1;
    fuse_lowlevel_ops ops {};
    ops.getattr = doGetattr;
    ops.open = doOpen;
    ops.read = doRead;
    ops.write = doWrite;
    char* args[] = {argv[0], nullptr};
    fuse_args fuseArgs = FUSE_ARGS_INIT(1, args);
    fuse_session* session = fuse_session_new(&fuseArgs, &ops, sizeof(ops), nullptr);
    if (session == nullptr || fuse_session_mount(session, argv[1]) != 0 || send(g_control, "R", 1, MSG_NOSIGNAL) != 1) {
        return 1;  // the test sees no "R"
    }
    fuse_buf buf {};
    std::vector<char> packet(kMaxPacket);
    pollfd fds[2] = {{fuse_session_fd(session), POLLIN, 0}, {g_control, POLLIN, 0}};
    // Ends when the test unmounts the file or goes; the process goes with it.
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 1;
        }
        if (fds[0].revents != 0) {
            const int res = fuse_session_receive_buf(session, &buf);
            if (res == -EINTR || res == -EAGAIN) {
                continue;
            }
            if (res <= 0) {
                return 0;
            }
            fuse_session_process_buf(session, &buf);
            answerInterrupted();
        }
        if (fds[1].revents != 0) {
            const ssize_t n = recv(g_control, packet.data(), packet.size(), 0);
            if (n <= 0) {
                return 0;
            }
            const size_t size = static_cast<size_t>(n);
            if (size <= kMaxRequest) {
                queueRequest(std::string(packet.data(), size));
            }
            for (size_t empty = kMaxRequest; empty < size; ++empty) {
                queueRequest(std::string());
            }
        }
    }
}
