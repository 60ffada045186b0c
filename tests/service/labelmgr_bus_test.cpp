// The label service on a private system bus: what it publishes, malformed
// calls, calls that used to end the process, the readiness wait.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <tinyxml.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include "restore/vetu_restore_context.h"
#include "service/request_frame.h"
#include "support/bus_client.h"
#include "support/log_capture.h"
#include "service/labelmgr_bus_fixture.h"

namespace {

// The interface file gives 46 methods; these keep names and argument names
// a client depends on, however they are spelt.
const char* const kQuirkyMethods[] = {
    "getKernelModuleOid(moduleNmae:s)(oid:t)",
    "queryUserSetFileInheritFlag(filepath:s,pattern_match:i)(tid:a{su})",
    "policies_parse(origin_policy:a{sas})(extended_policy:a{sa{sa{st}}})",
    "setFileOid(filepath:s,oid:a{st},pattern_match:i)(result:i)",
};

TEST_F(LabelMgrBusTest, IntrospectionListsEveryMethodWithItsArguments)
{
    start();
    BusClient client;
    std::string xml = client.call("Introspect", {}, 5000, "org.freedesktop.DBus.Introspectable");
    ASSERT_EQ(xml.front(), '"') << xml;
    TiXmlDocument doc;
    doc.Parse(xml.substr(1, xml.size() - 2).c_str());
    const TiXmlElement* iface = doc.RootElement() ? doc.RootElement()->FirstChildElement("interface") : nullptr;
    while (iface != nullptr && std::string(iface->Attribute("name")) != "com.ormel.vetu.labelmgr") {
        iface = iface->NextSiblingElement("interface");
    }
    ASSERT_NE(iface, nullptr);
    std::set<std::string> published;
    for (auto* node = iface->FirstChildElement("method"); node != nullptr; node = node->NextSiblingElement("method")) {
        std::string in, out;
        for (auto* arg = node->FirstChildElement("arg"); arg != nullptr; arg = arg->NextSiblingElement("arg")) {
            std::string& list = std::string(arg->Attribute("direction")) == "in" ? in : out;
            list += (list.empty() ? "" : ",") + std::string(arg->Attribute("name")) + ":" + arg->Attribute("type");
        }
        published.insert(std::string(node->Attribute("name")) + "(" + in + ")(" + out + ")");
    }
    EXPECT_EQ(published.size(), 46u);
    for (const char* method : kQuirkyMethods) {
        EXPECT_EQ(published.count(method), 1u) << method;
    }
}

// Rate limit, polkit, whitelist, in this order: a call over the rate is
// refused before polkit is asked.
TEST_F(LabelMgrBusTest, FrameChecksRateThenPolkitThenWhitelist)
{
    std::filesystem::create_directories("/etc/vetu/label");
    std::ofstream("/etc/vetu/label/vetu-label-whitelist.conf") << "enabled=true\n[getDeviceOid]\nallowed_users=x\n";
    start();
    BusClient client;
    EXPECT_EQ(client.call("getDeviceOid", {argString("/dev/null")}),
              "!org.freedesktop.DBus.Error.AccessDenied: Not in whitelist");
    // The heavy class admits 10 a second, and the classes share one queue.
    std::vector<DBusPendingCall*> calls;
    for (int i = 0; i < 10; ++i) {
        calls.push_back(client.send("getLabelSetStatus", {}));
    }
    for (auto* call : calls) {
        EXPECT_EQ(client.collect(call, 5000), "0");
    }
    EXPECT_EQ(client.call("addTagFullSystem", {argString("/tmp"), argStrings({})}),
              "!org.freedesktop.DBus.Error.LimitsExceeded: Rate limit exceeded");
    EXPECT_EQ(polkit.queries().size(), 11u);
}

TEST_F(LabelMgrBusTest, MalformedArgumentsGetTheStubsInvalidArgsTexts)
{
    start();
    const std::string invalid = "!org.freedesktop.DBus.Error.InvalidArgs: ";
    const struct {
        const char* method;
        std::vector<BusArg> args;
        std::string reply;
    } rows[] = {
        {"getPkgId", {argU32(7)}, invalid + "type mismatch"},
        {"getPkgIds", {argString("a")}, invalid + "array expected"},
        {"setFileOid", {argString("/a"), argStrings({"x"}), argI32(0)}, invalid + "dictionary value expected"},
        {"getLabelSetStatus", {argU32(1)}, "0"},  // extra arguments are ignored
    };
    BusClient client;
    for (const auto& row : rows) {
        EXPECT_EQ(client.call(row.method, row.args), row.reply) << row.method;
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

// What the checks learn about a caller holds for one call: a process that
// has taken another name since (as an exec gives it one) is named anew.
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

}  // namespace
