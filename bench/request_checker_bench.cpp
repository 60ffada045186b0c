// The three caller checks of one service call (rate, polkit with the secadm
// rule, whitelist) for a caller seen before, against a bare round trip
// through the bus to another process (a Ping to the polkit stand-in), which
// is what the polkit question costs at the least. The polkit authority is
// either our stand-in or the real daemon.
#include <benchmark/benchmark.h>

#include <dbus-c++/dbus.h>

#include <memory>

#include "service/request_checker.h"
#include "support/polkit_daemon.h"
#include "polkit_stub.h"
#include "support/private_bus.h"

namespace {

using namespace std::chrono_literals;

struct BusSetup {
    PrivateBus bus;
    DBus::BusDispatcher dispatcher;
    std::unique_ptr<DBus::Connection> connection;
    std::unique_ptr<BusPeer> caller;

    BusSetup()
    {
        DBus::default_dispatcher = &dispatcher;
        connection.reset(new DBus::Connection(bus.connect()));
        caller.reset(new BusPeer(0));
    }
};

void BM_BareRoundTrip(benchmark::State& state)
{
    BusSetup setup;
    PolkitStub polkit;
    for (auto _ : state) {
        DBus::CallMessage call("org.freedesktop.PolicyKit1", "/", "org.freedesktop.DBus.Peer", "Ping");
        benchmark::DoNotOptimize(setup.connection->send_blocking(call));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareRoundTrip)->UseRealTime();

// The clock moves 20 ms a call, so the rate limit never refuses.
void runChecks(benchmark::State& state, BusSetup& setup)
{
    RateLimiter::TimePoint now{1h};
    RequestChecker checker([&now] { return now += 20ms; });
    checker.setConnection(setup.connection.get());
    const std::string& sender = setup.caller->uniqueName();
    for (auto _ : state) {
        const bool admitted = checker.checkRateLimit(sender, kRateClassQuery, "getPkgId") &&
                              checker.checkAuth(sender, "getPkgId") && checker.checkWhitelist(sender, "getPkgId");
        if (!admitted) {
            state.SkipWithError("refused");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_CallerChecksWithStandIn(benchmark::State& state)
{
    BusSetup setup;
    PolkitStub polkit;
    runChecks(state, setup);
}
BENCHMARK(BM_CallerChecksWithStandIn)->UseRealTime();

void BM_CallerChecksWithPolkitd(benchmark::State& state)
{
    BusSetup setup;
    PolkitDaemon polkit("polkit.addRule(function(action, subject) { return polkit.Result.YES; });\n");
    if (!polkit.ok()) {
        state.SkipWithError(polkit.error().c_str());
        return;
    }
    runChecks(state, setup);
}
BENCHMARK(BM_CallerChecksWithPolkitd)->UseRealTime();

}  // namespace
