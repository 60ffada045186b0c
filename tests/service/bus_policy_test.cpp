// The system-bus policy we ship, loaded by a private dbus-daemon that
// allows nothing else: root owns the name, anyone calls the interface,
// nobody else owns the name or reaches other interfaces of the object.
#include <gtest/gtest.h>

#include <atomic>

#include "store/vetu_restore_init.h"
#include "support/bus_client.h"
#include "support/labelmgr_service_runner.h"
#include "support/private_bus.h"
#include "support/temp_tree.h"

namespace {

// The default policy of the distribution's system bus, which ours adds to.
constexpr const char kSystemDefaults[] = R"(<busconfig>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  </policy>
</busconfig>
)";

int expectReply(BusClient& client, const char* interface, const char* method, const std::string& prefix)
{
    const std::string reply = client.call(method, {}, 5000, interface);
    return reply.compare(0, prefix.size(), prefix) == 0 ? 0 : 1;
}

TEST(BusPolicyTest, RootOwnsTheNameAndAnyoneCallsTheInterface)
{
    TempTree tree;
    PrivateBus::Options options;
    options.permissive = false;
    options.includeFiles = {tree.file("system-defaults.conf", kSystemDefaults),
                            VETU_SOURCE_DIR "/packaging/com.ormel.vetu.labelmgr.conf"};
    PrivateBus bus(options);
    ASSERT_TRUE(bus.ok()) << bus.error();

    const int nobodyOwns = runAsUser(kNobodyUid, [] {
        BusClient client;
        DBusError error;
        dbus_error_init(&error);
        const int got = client.ok() ? dbus_bus_request_name(client.raw(), "com.ormel.vetu.labelmgr", 0, &error) : -1;
        return got == -1 && dbus_error_has_name(&error, DBUS_ERROR_ACCESS_DENIED) ? 0 : 1;
    }, 20);
    EXPECT_EQ(nobodyOwns, 0) << "only root may own the name";

    VetuRestoreInit store;
    store.m_isInitialized = true;
    std::atomic<bool> stop{false};
    LabelMgrServiceRunner runner(store, stop);
    ASSERT_TRUE(runner.ok()) << "root owns the name";

    const int nobodyCalls = runAsUser(kNobodyUid, [] {
        BusClient client;
        // Let through by the bus, refused by the service's own checks (no
        // polkit on this bus).
        return expectReply(client, "com.ormel.vetu.labelmgr", "getLabelSetStatus",
                           "!org.freedesktop.DBus.Error.AccessDenied: Authentication failed") |
               expectReply(client, "org.freedesktop.DBus.Peer", "Ping", "") << 1 |
               expectReply(client, "org.freedesktop.DBus.Properties", "GetAll",
                           "!org.freedesktop.DBus.Error.AccessDenied: Rejected send message") << 2;
    }, 20);
    EXPECT_EQ(nobodyCalls, 0) << "bit 0: interface, bit 1: peer, bit 2: other interfaces";
}

}  // namespace
