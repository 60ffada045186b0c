// getPkgId through the whole request frame (rate limit, caller lookups,
// polkit, whitelist, readiness, store) against its floor: a bare round trip
// to the same service (org.freedesktop.DBus.Peer.Ping) plus the one
// CheckAuthorization the frame cannot do without, sent by the client
// itself. On a private bus; polkit answered by our stand-in or by the real
// polkitd.
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "bench/interleaved_floor.h"
#include "service/caller_identity.h"
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
constexpr int kReplyTimeoutMs = 5000;

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

void appendDetail(DBusMessageIter* details, const char* key, int type, const char* signature, const void* value)
{
    DBusMessageIter entry;
    DBusMessageIter variant;
    dbus_message_iter_open_container(details, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant);
    dbus_message_iter_append_basic(&variant, type, value);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(details, &entry);
}

// The question the service asks about this process, asked by the client.
std::string checkAuthorization(DBusConnection* connection, uint32_t pid, uint64_t startTime)
{
    DBusMessage* call = dbus_message_new_method_call("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                                                     "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization");
    DBusMessageIter args;
    DBusMessageIter subject;
    DBusMessageIter details;
    dbus_message_iter_init_append(call, &args);
    dbus_message_iter_open_container(&args, DBUS_TYPE_STRUCT, nullptr, &subject);
    const char* kind = "unix-process";
    dbus_message_iter_append_basic(&subject, DBUS_TYPE_STRING, &kind);
    dbus_message_iter_open_container(&subject, DBUS_TYPE_ARRAY, "{sv}", &details);
    const dbus_int32_t uid = 0;
    appendDetail(&details, "pid", DBUS_TYPE_UINT32, "u", &pid);
    appendDetail(&details, "start-time", DBUS_TYPE_UINT64, "t", &startTime);
    appendDetail(&details, "uid", DBUS_TYPE_INT32, "i", &uid);
    dbus_message_iter_close_container(&subject, &details);
    dbus_message_iter_close_container(&args, &subject);
    const char* action = "com.ormel.vetu.labelmgr.access";
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &action);
    DBusMessageIter noDetails;
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{ss}", &noDetails);
    dbus_message_iter_close_container(&args, &noDetails);
    const dbus_uint32_t flags = 0;
    dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &flags);
    const char* cancellation = "";
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &cancellation);

    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, kReplyTimeoutMs, &error);
    dbus_message_unref(call);
    std::string failure;
    if (reply == nullptr) {
        failure = std::string("CheckAuthorization: ") + (error.message != nullptr ? error.message : "no reply");
        dbus_error_free(&error);
        return failure;
    }
    DBusMessageIter result;
    DBusMessageIter fields;
    dbus_bool_t authorized = FALSE;
    if (dbus_message_iter_init(reply, &result) && dbus_message_iter_get_arg_type(&result) == DBUS_TYPE_STRUCT) {
        dbus_message_iter_recurse(&result, &fields);
        dbus_message_iter_get_basic(&fields, &authorized);
    }
    dbus_message_unref(reply);
    return authorized ? "" : "CheckAuthorization: not authorised";
}

void BM_GetPkgIdFrameAgainstFloor(benchmark::State& state)
{
    Service* service = serviceWith(static_cast<Authority>(state.range(0)));
    if (service == nullptr) {
        state.SkipWithError("no service");
        return;
    }
    const std::string expected = service->clients.front()->call("getPkgId", {argString("bash")});
    const uint32_t pid = static_cast<uint32_t>(getpid());
    const uint64_t startTime = getProcessStartTime(pid);
    size_t next = 0;
    auto frame = [&]() -> std::string {
        BusClient& client = *service->clients[next++ % kClients];
        const std::string reply = client.call("getPkgId", {argString("bash")}, kReplyTimeoutMs);
        return reply == expected ? "" : "getPkgId: " + reply + " after " + expected;
    };
    auto floor = [&]() -> std::string {
        BusClient& client = *service->clients[next % kClients];
        const std::string reply = client.call("Ping", {}, kReplyTimeoutMs, "org.freedesktop.DBus.Peer");
        if (!reply.empty()) {
            return "Ping: " + reply;
        }
        return checkAuthorization(client.raw(), pid, startTime);
    };
    measureAgainstFloor(state, frame, floor);
}

// Repetitions give the spread; each lasts long enough for a connection's
// calls to spread over more than the rate limit's one-second window.
BENCHMARK(BM_GetPkgIdFrameAgainstFloor)->Arg(0)->ArgName("polkitd")->MinTime(2)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_GetPkgIdFrameAgainstFloor)->Arg(1)->ArgName("polkitd")->MinTime(2)->Repetitions(5)->UseRealTime();

}  // namespace
