// The identifier methods over the bus: limits at their boundaries, results
// computed here independently of the store.
#include <openssl/evp.h>

#include <cstdio>
#include <limits>

#include "service/labelmgr_bus_fixture.h"
#include "support/bus_client.h"
#include "support/expected_label.h"

namespace {

const std::string kInvalid = "!org.freedesktop.DBus.Error.InvalidArgs: ";
constexpr uint64_t kModuleType = 1000;  // the object type "module"

std::string sm3Hex(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sm3(), nullptr);
    std::string hex;
    char byte[3];
    for (unsigned int i = 0; i < length; ++i) {
        snprintf(byte, sizeof(byte), "%02x", digest[i]);
        hex += byte;
    }
    return hex;
}

// 32-bit FNV-1a, each byte sign-extended before the XOR.
uint64_t moduleOidOf(const std::string& name)
{
    uint32_t hash = 2166136261u;
    for (char c : name) {
        hash = (hash ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)))) * 16777619u;
    }
    return kModuleType << 32 | hash;
}

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
        {"getKernelModuleOid", {argString("ext4")}, std::to_string(moduleOidOf("ext4"))},
        {"getKernelModuleOid", {argString(p513)}, kInvalid + "module_name too long"},
        {"getKernelModuleOids", {argStrings({"ext4", "", "ext4"})}, "{\"ext4\":" + std::to_string(moduleOidOf("ext4")) + "}"},
        {"getKernelModuleOids", {argStrings(names(1001))}, kInvalid + "module_name too large"},
        {"getKernelModuleOids", {argStrings({})}, kInvalid + "module_name empty"},
        {"getDeviceOid", {argString("disk")}, std::to_string(2ull << 32 | 3)},
        {"getDeviceOid", {argString("nodev")}, all},
        {"getDeviceOid", {argString(p513)}, kInvalid + "device too long"},
        {"getDeviceOids", {argStrings({"disk", "nodev"})}, "{\"disk\":" + std::to_string(2ull << 32 | 3) + "}"},
        {"getDeviceOids", {argStrings(names(1001))}, kInvalid + "device too large"},
        {"getPathSm3HashValue", {argString(h4096)}, str(sm3Hex(h4096))},
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
}

}  // namespace
