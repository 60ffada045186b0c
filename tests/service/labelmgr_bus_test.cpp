// The label service on a private system bus: what it publishes, malformed
// calls, calls that used to end the process, the readiness wait.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <tinyxml.h>
#include <unistd.h>

#include <stdexcept>

#include "restore/vetu_restore_context.h"
#include "service/request_frame.h"
#include "support/bus_client.h"
#include "support/log_capture.h"
#include "service/labelmgr_bus_fixture.h"

namespace {

// Each method as published.
const char* const kMethods[] = {
    "getPkgId(pkgname:s)(id:t)",
    "getPkgIds(pkgnames:as)(pkgids:at,result:i)",
    "setPkgId(pkgname:s,id:t)(result:i)",
    "queryUserSetPkgId(pkgname:s)(pkgId:a{st})",
    "showUserSetPkgId()(result:a{st})",
    "delUserSetPkgId(pkgname:s)(result:i)",
    "delAllUserSetPkgId()(result:i)",
    "getFileOid(filepath:s)(oid:a{st})",
    "setFileOid(filepath:s,oid:a{st},pattern_match:i)(result:i)",
    "queryUserSetFileOid(filepath:s,pattern_match:i)(oid:a{sa{st}})",
    "showUserSetFileOid()(result:a{sa{st}})",
    "delUserSetFileOid(filepath:s,pattern_match:i)(result:i)",
    "delAllUserSetFileOid()(result:i)",
    "getFileSid(filepath:s)(sid:a{st})",
    "setFileSid(filepath:s,sid:a{st},pattern_match:i)(result:i)",
    "queryUserSetFileSid(filepath:s,pattern_match:i)(sid:a{sa{st}})",
    "showUserSetFileSid()(result:a{sa{st}})",
    "delUserSetFileSid(filepath:s,pattern_match:i)(result:i)",
    "delAllUserSetFileSid()(result:i)",
    "getFileTid(filepath:s)(tid:u)",
    "setFileTid(filepath:s,tid:u,pattern_match:i)(result:i)",
    "queryUserSetFileTid(filepath:s,pattern_match:i)(tid:a{su})",
    "showUserSetFileTid()(result:a{su})",
    "delUserSetFileTid(filepath:s,pattern_match:i)(result:i)",
    "delAllUserSetFileTid()(result:i)",
    "getFileInheritFlag(filepath:s)(inheritFlag:u)",
    "setFileInheritFlag(filepath:s,inheritFlag:u,pattern_match:i)(result:i)",
    "queryUserSetFileInheritFlag(filepath:s,pattern_match:i)(tid:a{su})",
    "showUserSetFileInheritFlag()(result:a{su})",
    "delUserSetFileInheritFlag(filepath:s,pattern_match:i)(result:i)",
    "delAllUserSetFileInheritFlag()(result:i)",
    "setLabelForPkg(fileList:as,pkgName:s,pkgType:u)(result:i)",
    "getKernelModuleOid(moduleNmae:s)(oid:t)",
    "getKernelModuleOids(moduleNmae:as)(oid:a{st})",
    "getDeviceOid(device:s)(oid:t)",
    "getDeviceOids(device:as)(oid:a{st})",
    "addTagFullSystem(path:s,excludedDir:as)(ret:i)",
    "getPathSm3HashValue(path:s)(hashValue:s)",
    "policies_parse(origin_policy:a{sas})(extended_policy:a{sa{sa{st}}})",
    "restoreSingleFileLabel(filepath:s)(label:s)",
    "restoreSingleFileInitLabel(filepath:s)(label:s)",
    "getLabelSetStatus()(status:i)",
    "setLabelForQuensetInterpreter(path:s)(result:i)",
    "setLabelForSoviInterpreter(path:s)(result:i)",
    "pathNormalize(path:s)(result:s)",
    "getPkgNameById(pkgId:t)(pkgName:s)",
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
    std::vector<std::string> published;
    for (auto* node = iface->FirstChildElement(); node != nullptr; node = node->NextSiblingElement()) {
        std::string in, out;
        for (auto* arg = node->FirstChildElement("arg"); arg != nullptr; arg = arg->NextSiblingElement("arg")) {
            std::string& list = std::string(arg->Attribute("direction")) == "in" ? in : out;
            list += (list.empty() ? "" : ",") + std::string(arg->Attribute("name")) + ":" + arg->Attribute("type");
        }
        published.push_back(std::string(node->Value()) + " " + node->Attribute("name") + "(" + in + ")(" + out + ")");
    }
    std::vector<std::string> expected;
    for (const auto& method : kMethods) {
        expected.push_back(std::string("method ") + method);
    }
    EXPECT_EQ(published, expected);
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
