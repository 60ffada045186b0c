// The package-identifier request service, served from a child process and
// asked through a plain ZeroMQ request socket.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/paths.h"
#include "daemon/pkgid_request_service.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"

namespace {

constexpr uint64_t kNone = UINT64_MAX;
constexpr int kReplyTimeoutMs = 5000;
const std::string kEndpoint = std::string("ipc://") + paths::kPkgIdRequestSocket;

void noteSignal(int) {}

// A server in a child process; ended with the test. The store is made and
// filled in the child: this process stays without threads, so it may fork.
class ServerProcess {
public:
    ServerProcess()
    {
        m_pid = fork();
        if (m_pid == 0) {
            VetuRestoreInit& store = VetuRestoreInit::getInstance();
            if (store.insertPkgidToMap("alpha", kPkgTypeRpm) != 0) {
                _exit(3);
            }
            store.identityDataUserConfigPid.set("zeroed", 0);
            store.identityDataUserConfigPid.set("chosen", 0x1234);
            // No SA_RESTART: the signal interrupts the server's wait.
            struct sigaction action {};
            action.sa_handler = noteSignal;
            sigaction(SIGUSR1, &action, nullptr);
            try {
                IpcServer server;
                server.requsetHandler();
            } catch (...) {
            }
            _exit(2);
        }
    }
    ~ServerProcess()
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
};

// The 8-byte answer to a request of these frames; empty when none came.
std::string ask(const std::vector<std::string>& frames)
{
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_REQ);
    const int linger = 0;
    const int timeout = kReplyTimeoutMs;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeout, sizeof(timeout));
    std::string reply;
    if (zmq_connect(socket, kEndpoint.c_str()) == 0) {
        bool sent = true;
        for (size_t i = 0; i < frames.size() && sent; ++i) {
            sent = zmq_send(socket, frames[i].data(), frames[i].size(), i + 1 < frames.size() ? ZMQ_SNDMORE : 0) >= 0;
        }
        char buffer[64];
        const int n = sent ? zmq_recv(socket, buffer, sizeof(buffer), 0) : -1;
        if (n >= 0) {
            reply.assign(buffer, static_cast<size_t>(std::min(n, static_cast<int>(sizeof(buffer)))));
        }
    }
    zmq_close(socket);
    zmq_ctx_destroy(context);
    return reply;
}

std::string idBytes(uint64_t id)
{
    return std::string(reinterpret_cast<const char*>(&id), sizeof(id));
}

}  // namespace

TEST(PkgIdRequestServiceTest, AnswersEveryRequestWithEightBytes)
{
    ServerProcess server;
    const struct {
        std::vector<std::string> frames;
        uint64_t id;
    } cases[] = {
        {{""}, kNone},
        {{"alpha"}, sm3Last64("alpha")},
        {{"never-installed"}, sm3Last64("never-installed")},
        {{"zeroed"}, kNone},
        {{"chosen"}, 0x1234},
        {{"alpha", "beta"}, kNone},
        {{"", "", ""}, kNone},
        {{std::string("al\0pha", 6)}, sm3Last64(std::string("al\0pha", 6))},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ask(c.frames), idBytes(c.id)) << c.frames.size() << " frames, first '" << c.frames[0] << "'";
    }
    // A signal that lands on the waiting server does not end its loop.
    kill(server.pid(), SIGUSR1);
    EXPECT_EQ(ask({"alpha"}), idBytes(sm3Last64("alpha")));
}

TEST(PkgIdRequestServiceTest, SecondServerTakesTheSocketOver)
{
    ServerProcess first;
    ASSERT_EQ(ask({"alpha"}), idBytes(sm3Last64("alpha")));
    struct stat before {};
    ASSERT_EQ(stat(paths::kPkgIdRequestSocket, &before), 0);
    ServerProcess second;
    // The second binds once it has removed the first one's file.
    struct stat after {};
    for (int i = 0; i < 500 && (stat(paths::kPkgIdRequestSocket, &after) != 0 || after.st_ino == before.st_ino); ++i) {
        usleep(10000);
    }
    ASSERT_NE(after.st_ino, before.st_ino);
    kill(first.pid(), SIGSTOP);
    EXPECT_EQ(ask({"beta"}), idBytes(sm3Last64("beta")));
    kill(first.pid(), SIGCONT);
}
