// The label service object on a private system bus, through the generated
// adaptor: what it publishes, how the stubs refuse malformed calls, that it
// survives what used to end the process, and the readiness wait.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "restore/vetu_restore_context.h"
#include "service/request_frame.h"
#include "support/bus_client.h"
#include "support/log_capture.h"
#include "service/labelmgr_bus_fixture.h"

namespace {

// Each method as published, and its reply while the store is not ready and
// the process is stopping: the failure value of the methods that wait, the
// answer of the others.
const std::pair<std::string, std::string> kMethods[] = {
    {"getPkgId(pkgname:s)(id:t)", "18446744073709551615"},
    {"getPkgIds(pkgnames:as)(pkgids:at,result:i)", "[] -1"},
    {"setPkgId(pkgname:s,id:t)(result:i)", "-1"},
    {"queryUserSetPkgId(pkgname:s)(pkgId:a{st})", "{}"},
    {"showUserSetPkgId()(result:a{st})", "{}"},
    {"delUserSetPkgId(pkgname:s)(result:i)", "-1"},
    {"delAllUserSetPkgId()(result:i)", "-1"},
    {"getFileOid(filepath:s)(oid:a{st})", "{}"},
    {"setFileOid(filepath:s,oid:a{st},pattern_match:i)(result:i)",
     "!org.freedesktop.DBus.Error.InvalidArgs: oid map is empty"},  // checked before the wait
    {"queryUserSetFileOid(filepath:s,pattern_match:i)(oid:a{sa{st}})", "{}"},
    {"showUserSetFileOid()(result:a{sa{st}})", "{}"},
    {"delUserSetFileOid(filepath:s,pattern_match:i)(result:i)", "-1"},
    {"delAllUserSetFileOid()(result:i)", "-1"},
    {"getFileSid(filepath:s)(sid:a{st})", "{}"},
    {"setFileSid(filepath:s,sid:a{st},pattern_match:i)(result:i)",
     "!org.freedesktop.DBus.Error.InvalidArgs: sid map is empty"},  // checked before the wait
    {"queryUserSetFileSid(filepath:s,pattern_match:i)(sid:a{sa{st}})", "{}"},
    {"showUserSetFileSid()(result:a{sa{st}})", "{}"},
    {"delUserSetFileSid(filepath:s,pattern_match:i)(result:i)", "-1"},
    {"delAllUserSetFileSid()(result:i)", "-1"},
    {"getFileTid(filepath:s)(tid:u)", "4294967295"},
    {"setFileTid(filepath:s,tid:u,pattern_match:i)(result:i)", "-1"},
    {"queryUserSetFileTid(filepath:s,pattern_match:i)(tid:a{su})", "{}"},
    {"showUserSetFileTid()(result:a{su})", "{}"},
    {"delUserSetFileTid(filepath:s,pattern_match:i)(result:i)", "-1"},
    {"delAllUserSetFileTid()(result:i)", "-1"},
    {"getFileInheritFlag(filepath:s)(inheritFlag:u)", "4294967295"},
    {"setFileInheritFlag(filepath:s,inheritFlag:u,pattern_match:i)(result:i)", "-1"},
    {"queryUserSetFileInheritFlag(filepath:s,pattern_match:i)(tid:a{su})", "{}"},
    {"showUserSetFileInheritFlag()(result:a{su})", "{}"},
    {"delUserSetFileInheritFlag(filepath:s,pattern_match:i)(result:i)", "-1"},
    {"delAllUserSetFileInheritFlag()(result:i)", "-1"},
    {"setLabelForPkg(fileList:as,pkgName:s,pkgType:u)(result:i)", "-1"},
    {"getKernelModuleOid(moduleNmae:s)(oid:t)", "18446744073709551615"},
    {"getKernelModuleOids(moduleNmae:as)(oid:a{st})", "{}"},
    {"getDeviceOid(device:s)(oid:t)", "18446744073709551615"},
    {"getDeviceOids(device:as)(oid:a{st})", "{}"},
    {"addTagFullSystem(path:s,excludedDir:as)(ret:i)", "-1"},
    {"getPathSm3HashValue(path:s)(hashValue:s)", "\"\""},
    {"policies_parse(origin_policy:a{sas})(extended_policy:a{sa{sa{st}}})", "{}"},
    {"restoreSingleFileLabel(filepath:s)(label:s)", "\"\""},
    {"restoreSingleFileInitLabel(filepath:s)(label:s)", "\"\""},
    {"getLabelSetStatus()(status:i)", "0"},
    {"setLabelForQuensetInterpreter(path:s)(result:i)", "0"},
    {"setLabelForSoviInterpreter(path:s)(result:i)", "0"},
    {"pathNormalize(path:s)(result:s)", "\"/x\""},
    {"getPkgNameById(pkgId:t)(pkgName:s)", "\"\""},
};

// A valid argument of each in-argument's type: the types follow the ':'s
// of the first parenthesis.
std::vector<BusArg> sampleArgs(const std::string& method)
{
    std::vector<BusArg> args;
    const size_t end = method.find(')');
    for (size_t colon = method.find(':'); colon < end; colon = method.find(':', colon + 1)) {
        args.push_back(argSample(method.substr(colon + 1, std::min(method.find(',', colon), end) - colon - 1)));
    }
    return args;
}

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
        expected.push_back("method " + method.first);
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
        {"getPkgId", {}, invalid + "type mismatch"},
        {"setPkgId", {argString("a")}, invalid + "type mismatch"},
        {"getPkgIds", {argString("a")}, invalid + "array expected"},
        {"setFileOid", {argString("/a"), argStrings({"x"}), argI32(0)}, invalid + "dictionary value expected"},
        {"policies_parse", {argStrings({"x"})}, invalid + "dictionary value expected"},
        {"policies_parse", {argStringU64Dict({{"/a", 1}})}, invalid + "array expected"},
        {"getLabelSetStatus", {argU32(1)}, "0"},  // extra arguments are ignored
    };
    BusClient client;
    for (const auto& row : rows) {
        EXPECT_EQ(client.call(row.method, row.args), row.reply) << row.method;
    }
    EXPECT_TRUE(polkit.queries().size() == 1) << "only the well-formed call was checked";
}

TEST(LabelMgrStubTest, RepeatedDictionaryKeyKeepsTheLastValue)
{
    DBus::CallMessage message("a.b", "/a", "a.b", "m");
    DBus::MessageIter writer = message.writer();
    DBus::MessageIter dict = writer.new_array("{st}");
    for (uint64_t value : {1, 2}) {
        DBus::MessageIter entry = dict.new_dict_entry();
        entry << std::string("pkg_id") << value;
        dict.close_container(entry);
    }
    writer.close_container(dict);
    std::map<std::string, uint64_t> read;
    DBus::MessageIter reader = message.reader();  // as the stubs read
    reader >> read;
    EXPECT_EQ(read, (std::map<std::string, uint64_t>{{"pkg_id", 2}}));
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

TEST_F(LabelMgrBusTest, StoreNotReadyAndStopping_WaitingMethodsFailTheOthersAnswer)
{
    store.m_isInitialized = false;
    stop = true;
    start();
    for (const auto& method : kMethods) {
        BusClient client;  // a budget of its own: the rate classes share one
        const std::string name = method.first.substr(0, method.first.find('('));
        EXPECT_EQ(client.call(name, sampleArgs(method.first)), method.second) << name;
    }
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

}  // namespace
