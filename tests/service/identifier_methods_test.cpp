// The identifier methods over the bus: limits at their boundaries, results
// from published hash vectors or computed here independently of the store.
#include <limits>

#include "service/labelmgr_bus_fixture.h"
#include "support/bus_client.h"
#include "support/expected_label.h"

namespace {

const std::string kInvalid = "!org.freedesktop.DBus.Error.InvalidArgs: ";
// Module oids: the object type "module" (1000) over the 32-bit FNV-1a of the
// name (published vectors: "a" e40c292c, "foobar" bf9cf968); a byte past
// 0x7f is sign-extended before the XOR ("é": 3cfa68c1, not 1e9de8c1).
const std::string kOidA = std::to_string(1000ull << 32 | 0xe40c292c);
const std::string kOidFoobar = std::to_string(1000ull << 32 | 0xbf9cf968);
const std::string kOidE = std::to_string(1000ull << 32 | 0x3cfa68c1);
// SM3("abc"), the published vector.
const std::string kSm3Abc = "\"66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0\"";

std::string str(const std::string& text) { return "\"" + text + "\""; }

std::vector<std::string> names(size_t count, size_t length = 4)
{
    std::vector<std::string> all;
    for (size_t i = 0; i < count; ++i) {
        all.push_back(std::to_string(i + 1000000).substr(0, length));
    }
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
    const struct {
        const char* method;
        std::vector<BusArg> args;
        std::string reply;
    } rows[] = {
        {"getPkgId", {argString(p512)}, std::to_string(sm3Last64(p512))},
        {"getPkgId", {argString(p513)}, kInvalid + "pkgname too long"},
        {"getPkgIds", {argStrings(names(1000, 7))}, "[" + ids + "] 0"},
        {"getPkgIds", {argStrings(names(1001))}, kInvalid + "pkgnames too large"},
        {"getPkgIds", {argStrings({})}, kInvalid + "pkgnames is empty"},
        {"getPkgIds", {argStrings({"a", "", "c"})}, "[" + std::to_string(sm3Last64("a")) + "] -1"},
        {"getPkgNameById", {argU64(sm3Last64("a"))}, str("a")},
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
        {"pathNormalize", {argString("/tmproot/usr/lib/")}, str("/sysroot/usr/lib")},
        {"pathNormalize", {argString("/tmprootx/y/*")}, str("/sysrootx/y")},
        {"pathNormalize", {argString("/a//b")}, kInvalid + "path is not safe"},
        {"setLabelForQuensetInterpreter", {argString("/usr/bin/q")}, "0"},
    };
    for (const auto& row : rows) {
        BusClient client;  // a rate budget of its own
        const std::string reply = client.call(row.method, row.args);
        EXPECT_TRUE(reply == row.reply) << row.method << ": " << reply.substr(0, 300);
    }
    EXPECT_EQ(BusClient().call("getPathSm3HashValue", {argString(h4096)}).size(), 66u);  // 64 digits, quoted
}

}  // namespace
