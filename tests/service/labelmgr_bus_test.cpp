// The label service on a private system bus.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <tuple>

#include "restore/vetu_restore_context.h"
#include "service/request_frame.h"
#include "service/labelmgr_bus_fixture.h"
#include "support/bus_client.h"
#include "support/expected_label.h"
#include "support/id_pairs_stub.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

namespace {

// The interface file gives 46 methods; these keep names and argument names
// a client depends on, however they are spelt.
const char* const kQuirkyMethods[] = {
    "getKernelModuleOid\"><arg direction=\"in\" type=\"s\" name=\"moduleNmae\"/>",
    "queryUserSetFileInheritFlag\"><arg direction=\"in\" type=\"s\" name=\"filepath\"/><arg direction=\"in\" "
    "type=\"i\" name=\"pattern_match\"/><arg direction=\"out\" type=\"a{su}\" name=\"tid\"/></method>",
    "policies_parse\"><arg direction=\"in\" type=\"a{sas}\" name=\"origin_policy\"/><arg direction=\"out\" "
    "type=\"a{sa{sa{st}}}\" name=\"extended_policy\"/></method>",
    "setFileOid\"><arg direction=\"in\" type=\"s\" name=\"filepath\"/><arg direction=\"in\" type=\"a{st}\" "
    "name=\"oid\"/><arg direction=\"in\" type=\"i\" name=\"pattern_match\"/><arg direction=\"out\" type=\"i\" "
    "name=\"result\"/></method>",
};

TEST_F(LabelMgrBusTest, IntrospectionListsEveryMethodWithItsArguments)
{
    start();
    std::string xml = BusClient().call("Introspect", {}, 5000, "org.freedesktop.DBus.Introspectable");
    xml.erase(std::remove_if(xml.begin(), xml.end(), [](char c) { return c == '\t' || c == '\n'; }), xml.end());
    xml = xml.substr(xml.find("<interface name=\"com.ormel.vetu.labelmgr\">"));
    xml.resize(xml.find("</interface>"));
    size_t methods = 0;
    for (size_t at = xml.find("<method "); at != std::string::npos; at = xml.find("<method ", at + 1)) {
        ++methods;
    }
    EXPECT_EQ(methods, 46u);
    for (const char* method : kQuirkyMethods) {
        EXPECT_NE(xml.find(std::string("<method name=\"") + method), std::string::npos) << method;
    }
}

// Rate limit, polkit, whitelist, in this order: over the rate, polkit is not asked.
TEST_F(LabelMgrBusTest, FrameChecksRateThenPolkitThenWhitelist)
{
    std::filesystem::create_directories("/etc/vetu/label");
    std::ofstream("/etc/vetu/label/vetu-label-whitelist.conf") << "enabled=true\n[getDeviceOid]\nallowed_users=x\n";
    start();
    BusClient client;
    EXPECT_EQ(client.call("getDeviceOid", {argString("/dev/null")}),
              "!org.freedesktop.DBus.Error.AccessDenied: Not in whitelist");
    // The heavy class admits 10 a second, and the classes share one queue.
    std::vector<DBusPendingCall*> calls(10);
    std::generate(calls.begin(), calls.end(), [&] { return client.send("getLabelSetStatus", {}); });
    for (auto* call : calls) {
        EXPECT_EQ(client.collect(call, 5000), "0");
    }
    EXPECT_EQ(client.call("addTagFullSystem", {argString("/tmp"), argStrings({})}),
              "!org.freedesktop.DBus.Error.LimitsExceeded: Rate limit exceeded");
    EXPECT_EQ(polkit.queries().size(), 11u);
}

using CallRow = std::tuple<const char*, std::vector<BusArg>, std::string>;  // method, arguments, reply

TEST_F(LabelMgrBusTest, MalformedArgumentsGetTheStubsInvalidArgsTexts)
{
    start();
    const CallRow rows[] = {
        {"getPkgId", {argU32(7)}, kInvalid + "type mismatch"},
        {"getPkgIds", {argString("a")}, kInvalid + "array expected"},
        {"setFileOid", {argString("/a"), argStrings({"x"}), argI32(0)}, kInvalid + "dictionary value expected"},
        {"getLabelSetStatus", {argU32(1)}, "0"},  // extra arguments are ignored
    };
    BusClient client;
    for (const auto& [method, args, reply] : rows) {
        EXPECT_EQ(client.call(method, args), reply) << method;
    }
    EXPECT_TRUE(polkit.queries().size() == 1) << "only the well-formed call was checked";
}

// A body that throws inside the frame, and a method that throws past it.
class ThrowingService : public ContextMgrService {
public:
    using ContextMgrService::ContextMgrService;
    uint64_t getPkgId(const std::string&, const std::string& sender) override
    {
        return runRequest<Method::getPkgId>(sender, kNoArgumentChecks,
                                            []() -> uint64_t { throw std::runtime_error("store gone"); });
    }
    std::string pathNormalize(const std::string&, const std::string&) override
    {
        throw std::length_error("escaped the frame");
    }
};

TEST_F(LabelMgrBusTest, CallsThatUsedToEndTheProcessGetAnErrorAndTheServiceGoesOn)
{
    LogCapture log;
    runner = std::make_unique<LabelMgrServiceRunner>([this](DBus::Connection& connection) {
        return std::make_unique<ThrowingService>(connection, store, VetuRestoreContext::getInstance(), stop);
    });
    ASSERT_TRUE(runner->ok());
    BusClient client;
    EXPECT_EQ(client.call("getLabelSetStatus", {}, 5000, ""),
              "!org.freedesktop.DBus.Error.UnknownInterface: method call without interface");
    EXPECT_EQ(client.call("getPkgId", {argString("a")}), "18446744073709551615");
    EXPECT_EQ(log.count("getPkgId exception: store gone", "ERROR"), 1u) << log.dump();
    EXPECT_EQ(client.call("pathNormalize", {argString("/a")}), "!org.freedesktop.DBus.Error.Failed: internal error");
    EXPECT_EQ(client.call("getLabelSetStatus", {}), "0");
}

TEST_F(LabelMgrBusTest, WaitingCallBlocksTheServiceUntilStop)
{
    store.m_isInitialized = false;
    start();
    BusClient client;
    EXPECT_EQ(client.call("getLabelSetStatus", {}), "0");
    DBusPendingCall* waiting = client.send("getPkgId", {argString("a")});
    DBusPendingCall* behind = client.send("getLabelSetStatus", {});
    EXPECT_EQ(client.collect(behind, 700), "!timeout");
    stop = true;
    EXPECT_EQ(client.collect(waiting, 5000), "18446744073709551615");
    EXPECT_EQ(client.call("getLabelSetStatus", {}), "0");
}

// A caller that has taken another name since (as an exec gives it one) is named anew.
TEST_F(LabelMgrBusTest, EachCallLooksItsCallerUpAnew)
{
    start();
    char own[16] = {};
    ASSERT_EQ(prctl(PR_GET_NAME, own), 0);
    LogCapture log;
    BusClient client;
    for (const char* name : {"vetu-first", "vetu-second"}) {
        prctl(PR_SET_NAME, name);
        EXPECT_EQ(client.call("getLabelSetStatus", {}), "0");
    }
    prctl(PR_SET_NAME, own);
    const std::string caller = "checkAuth succeeded: interface=getLabelSetStatus, pid=" + std::to_string(getpid());
    EXPECT_EQ(log.countContaining(caller + ", name=vetu-first,"), 1u);
    EXPECT_EQ(log.countContaining(caller + ", name=vetu-second,"), 1u);
}

// Module oids: the object type "module" (1000) over the 32-bit FNV-1a of the
// name (published vectors: "a" e40c292c, "foobar" bf9cf968); a byte past
// 0x7f is sign-extended before the XOR ("é": 3cfa68c1, not 1e9de8c1).
const std::string kOidA = std::to_string(1000ull << 32 | 0xe40c292c);
const std::string kOidFoobar = std::to_string(1000ull << 32 | 0xbf9cf968);
const std::string kOidE = std::to_string(1000ull << 32 | 0x3cfa68c1);
// SM3("abc"), the published vector.
const std::string kSm3Abc = "\"66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0\"";

std::vector<std::string> names(size_t count, size_t length = 4)
{
    std::vector<std::string> all(count);
    std::generate(all.begin(), all.end(), [&, i = 1000000]() mutable { return std::to_string(i++).substr(0, length); });
    return all;
}

TEST_F(LabelMgrBusTest, IdentifierMethodsCheckTheirArgumentsAndAnswerIndependentlyComputedValues)
{
    // usb (1) > storage (2) > disk (3)
    store.m_vecDeviceTypeInfo.store({DeviceTypeInfo{"usb", 1, {DeviceClassInfo{"storage", 2, {{"disk", 3}}}}}});
    start();
    const std::string p512(512, 'p'), p513(513, 'p'), h4096(4096, 'h'), h4097(4097, 'h');
    std::string ids;
    for (const auto& name : names(1000, 7)) {
        ids += (ids.empty() ? "" : ",") + std::to_string(sm3Last64(name));
    }
    const std::string all = std::to_string(std::numeric_limits<uint64_t>::max());
    const CallRow rows[] = {
        {"getPkgId", {argString(p512)}, std::to_string(sm3Last64(p512))},
        {"getPkgId", {argString(p513)}, kInvalid + "pkgname too long"},
        {"getPkgIds", {argStrings(names(1000, 7))}, "[" + ids + "] 0"},
        {"getPkgIds", {argStrings(names(1001))}, kInvalid + "pkgnames too large"},
        {"getPkgIds", {argStrings({})}, kInvalid + "pkgnames is empty"},
        {"getPkgIds", {argStrings({"a", "", "c"})}, "[" + std::to_string(sm3Last64("a")) + "] -1"},
        {"getPkgNameById", {argU64(sm3Last64("a"))}, quoted("a")},
        {"getPkgNameById", {argU64(0)}, kInvalid + "pkgId is zero"},
        {"getPkgNameById", {argU64(std::numeric_limits<uint64_t>::max())}, kInvalid + "pkgId is invalid"},
        {"getKernelModuleOid", {argString("foobar")}, kOidFoobar},
        {"getKernelModuleOid", {argString("é")}, kOidE},
        {"getKernelModuleOid", {argString(p513)}, kInvalid + "module_name too long"},
        {"getKernelModuleOids", {argStrings({"a", "", "a"})}, "{\"a\":" + kOidA + "}"},
        {"getKernelModuleOids", {argStrings(names(1001))}, kInvalid + "module_name too large"},
        {"getKernelModuleOids", {argStrings({})}, kInvalid + "module_name empty"},
        {"getDeviceOid", {argString("disk")}, std::to_string(2ull << 32 | 3)},
        {"getDeviceOid", {argString("nodev")}, all},
        {"getDeviceOid", {argString(p513)}, kInvalid + "device too long"},
        {"getDeviceOids", {argStrings({"disk", "nodev"})}, "{\"disk\":" + std::to_string(2ull << 32 | 3) + "}"},
        {"getDeviceOids", {argStrings(names(1001))}, kInvalid + "device too large"},
        {"getPathSm3HashValue", {argString("abc")}, kSm3Abc},
        {"getPathSm3HashValue", {argString(h4097)}, kInvalid + "path too long"},
        {"pathNormalize", {argString("/tmproot/usr/lib/")}, quoted("/sysroot/usr/lib")},
        {"pathNormalize", {argString("/tmprootx/y/*")}, quoted("/sysrootx/y")},
        {"pathNormalize", {argString("/a//b")}, kInvalid + "path is not safe"},
        {"setLabelForQuensetInterpreter", {argString("/usr/bin/q")}, "0"},
    };
    for (const auto& [method, args, expected] : rows) {
        const std::string reply = BusClient().call(method, args);  // a client, and a rate budget, of its own
        EXPECT_TRUE(reply == expected) << method << ": " << reply.substr(0, 300);
    }
    EXPECT_EQ(BusClient().call("getPathSm3HashValue", {argString(h4096)}).size(), 66u);  // 64 digits, quoted
}

BusArg argPolicy(const std::map<std::string, std::vector<std::string>>& policy)
{
    std::vector<BusArg> entries;
    for (const auto& [type, params] : policy) {
        entries.push_back(argContainer("", {argString(type), argStrings(params)}, DBUS_TYPE_DICT_ENTRY));
    }
    return argContainer("{sas}", entries);
}

TEST_F(LabelMgrBusTest, PoliciesParse)
{
    id_pairs_stub::create();
    start();
    BusClient client;
    TempTree tree;
    const std::string file = tree.file("f");
    const std::string reply = client.call("policies_parse", {argPolicy({{"object_file", {file}}})});
    EXPECT_NE(reply.find("\"" + file + "\":{\"file_id\":" + std::to_string(sm3Last64(file)) + ",\"path_id\":0,"),
              std::string::npos) << reply;
    EXPECT_NE(reply.find("\"subject_recurfile\":{}"), std::string::npos) << reply;
    // A refused policy is an error of the service's own name.
    EXPECT_EQ(client.call("policies_parse", {argPolicy({{"object_file", {"relative"}}})}),
              "!com.ormel.vetu.labelmgr: Invalid or unsafe file path detected");
    // An empty policy empties the policy maps only.
    store.identityDataUserConfigTid.set("/u", 4);
    EXPECT_EQ(client.call("policies_parse", {argPolicy({})}), "{}");
    EXPECT_TRUE(store.identityDataFileOid.getAll().empty());
    EXPECT_EQ(store.identityDataUserConfigTid.getAll().size(), 1u);
}

// The system-bus policy we ship, over the distribution's defaults: root owns
// the name, anyone calls the interface, nobody else reaches other interfaces.
constexpr const char kSystemDefaults[] = R"(<busconfig><policy context="default">
  <allow user="*"/> <deny own="*"/> <deny send_type="method_call"/> <allow send_type="signal"/>
  <allow send_requested_reply="true" send_type="method_return"/> <allow send_requested_reply="true" send_type="error"/>
  <allow receive_type="method_call"/> <allow receive_type="method_return"/>
  <allow receive_type="error"/> <allow receive_type="signal"/>
  <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
</policy></busconfig>
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
        // Let through by the bus, refused by the service's own checks (no polkit here).
        return expectReply(client, "com.ormel.vetu.labelmgr", "getLabelSetStatus",
                           "!org.freedesktop.DBus.Error.AccessDenied: Authentication failed") |
               expectReply(client, "org.freedesktop.DBus.Peer", "Ping", "") << 1 |
               expectReply(client, "org.freedesktop.DBus.Properties", "GetAll",
                           "!org.freedesktop.DBus.Error.AccessDenied: Rejected send message") << 2;
    }, 20);
    EXPECT_EQ(nobodyCalls, 0) << "bit 0: interface, bit 1: peer, bit 2: other interfaces";
}

}  // namespace
