// Calls per second of getPkgId through the whole request frame (rate limit,
// caller lookups, polkit, whitelist, readiness, store) against a bare
// round trip to the same service (org.freedesktop.DBus.Peer.Ping), on a
// private bus; polkit answered by our stand-in or by the real polkitd.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "store/vetu_restore_init.h"
#include "support/bus_client.h"
#include "support/labelmgr_service_runner.h"
#include "support/polkit_daemon.h"
#include "polkit_stub.h"
#include "support/private_bus.h"

namespace {

// Root callers are rate-limited per connection (100 queries a second):
// the calls rotate over enough connections never to meet the limit.
constexpr size_t kClients = 64;  // the bus allows 256 connections per user

enum class Authority { Stub, Polkitd };

// Rules that answer our action yes for root and no for anyone else.
constexpr const char kRootOnlyRules[] =
    "polkit.addRule(function(action, subject) {\n"
    "  if (action.id == \"com.ormel.vetu.labelmgr.access\")\n"
    "    return subject.user == \"root\" ? polkit.Result.YES : polkit.Result.NO;\n"
    "});\n";

struct Service {
    explicit Service(Authority authority)
    {
        if (authority == Authority::Stub) {
            stub = std::make_unique<PolkitStub>();
        } else {
            daemon = std::make_unique<PolkitDaemon>(kRootOnlyRules);
        }
        store.m_isInitialized = true;
        runner = std::make_unique<LabelMgrServiceRunner>(store, stop);
        for (size_t i = 0; i < kClients; ++i) {
            clients.push_back(std::make_unique<BusClient>());
        }
    }
    bool ok() const { return bus.ok() && (stub ? stub->ok() : daemon->ok()) && runner->ok(); }

    PrivateBus bus;
    std::unique_ptr<PolkitStub> stub;
    std::unique_ptr<PolkitDaemon> daemon;
    VetuRestoreInit store;
    std::atomic<bool> stop{false};
    std::unique_ptr<LabelMgrServiceRunner> runner;
    std::vector<std::unique_ptr<BusClient>> clients;
};

std::unique_ptr<Service> g_service;
Authority g_authority = Authority::Stub;

Service* serviceWith(Authority authority)
{
    if (!g_service || g_authority != authority) {
        g_service.reset();
        g_authority = authority;
        g_service = std::make_unique<Service>(authority);
    }
    return g_service->ok() ? g_service.get() : nullptr;
}

void BM_PeerPing(benchmark::State& state)
{
    Service* service = serviceWith(static_cast<Authority>(state.range(0)));
    if (service == nullptr) {
        state.SkipWithError("no service");
        return;
    }
    BusClient& client = *service->clients.front();
    for (auto _ : state) {
        if (client.call("Ping", {}, 5000, "org.freedesktop.DBus.Peer") != "") {
            state.SkipWithError("ping failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GetPkgIdFullFrame(benchmark::State& state)
{
    Service* service = serviceWith(static_cast<Authority>(state.range(0)));
    if (service == nullptr) {
        state.SkipWithError("no service");
        return;
    }
    const std::string expected = service->clients.front()->call("getPkgId", {argString("bash")});
    size_t next = 0;
    for (auto _ : state) {
        BusClient& client = *service->clients[next++ % kClients];
        const std::string reply = client.call("getPkgId", {argString("bash")});
        if (reply != expected) {
            state.SkipWithError(("getPkgId failed: " + reply + " after " + expected).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Each measures over a few seconds, so a connection's calls spread over
// more than the rate limit's one-second window.
BENCHMARK(BM_PeerPing)->Arg(0)->ArgName("polkitd")->MinTime(2)->UseRealTime();
BENCHMARK(BM_GetPkgIdFullFrame)->Arg(0)->ArgName("polkitd")->MinTime(2)->UseRealTime();
BENCHMARK(BM_PeerPing)->Arg(1)->ArgName("polkitd")->MinTime(2)->UseRealTime();
BENCHMARK(BM_GetPkgIdFullFrame)->Arg(1)->ArgName("polkitd")->MinTime(2)->UseRealTime();

}  // namespace
