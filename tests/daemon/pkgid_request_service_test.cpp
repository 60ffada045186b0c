// The package-identifier request service in a child, asked over a ZeroMQ request socket.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/paths.h"
#include "daemon/pkgid_request_service.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/run_process.h"

namespace {

const std::string kNone(8, '\xff');

// The store is made in the child: this process stays without threads, so it may fork.
int serve()
{
    // No SA_RESTART: the signal interrupts the server's wait.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, nullptr);
    VetuRestoreInit& store = VetuRestoreInit::getInstance();
    store.insertPkgidToMap("alpha", kPkgTypeRpm);
    store.identityDataUserConfigPid.set("zeroed", 0);
    store.identityDataUserConfigPid.set("chosen", 0x1234);
    try {
        IpcServer().requsetHandler();
    } catch (...) {  // the child ends all the same
    }
    return 2;
}

// The answer to a request of these frames; empty when none came in time.
std::string ask(const std::vector<std::string>& frames, int timeoutMs = 5000)
{
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_REQ);
    const int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeoutMs, sizeof(timeoutMs));
    zmq_connect(socket, (std::string("ipc://") + paths::kPkgIdRequestSocket).c_str());
    for (size_t i = 0; i < frames.size(); ++i) {
        zmq_send(socket, frames[i].data(), frames[i].size(), i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
    }
    char buffer[64];
    const int n = zmq_recv(socket, buffer, sizeof(buffer), 0);
    zmq_close(socket);
    zmq_ctx_destroy(context);
    return std::string(buffer, std::clamp(n, 0, 64));
}

std::string idBytes(uint64_t id) { return std::string(reinterpret_cast<const char*>(&id), sizeof(id)); }

}  // namespace

TEST(PkgIdRequestServiceTest, AnswersEveryRequestWithEightBytesUntilASecondServerTakesOver)
{
    ChildProcess server(serve);
    const std::string nul("al\0pha", 6);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{""}, kNone},
        {{"alpha"}, idBytes(sm3Last64("alpha"))},
        {{"zeroed"}, kNone},
        {{"chosen"}, idBytes(0x1234)},
        {{nul}, idBytes(sm3Last64(nul))},
        {{"alpha", "beta"}, kNone},
    };
    for (const auto& [frames, reply] : cases) {
        EXPECT_EQ(ask(frames), reply) << frames.size() << " frames, first '" << frames[0] << "'";
    }
    // A request longer than a package name can be is dropped unread; a
    // signal on the waiting server does not end its loop.
    const std::string n255(255, 'n');
    EXPECT_EQ(ask({n255}) + ask({n255 + "n"}, 500), idBytes(sm3Last64(n255)));
    kill(server.pid(), SIGUSR1);
    EXPECT_EQ(ask({"alpha"}), idBytes(sm3Last64("alpha")));

    struct stat before {}, now {};  // a second server replaces the first one's socket file
    ASSERT_EQ(stat(paths::kPkgIdRequestSocket, &before), 0);
    kill(server.pid(), SIGSTOP);
    ChildProcess second(serve);
    waitFor([&] { return stat(paths::kPkgIdRequestSocket, &now) == 0 && now.st_ino != before.st_ino; }, 5);
    EXPECT_EQ(ask({"beta"}), idBytes(sm3Last64("beta")));
}
