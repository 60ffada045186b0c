// The identifier methods over the bus: argument limits at their boundaries
// and results against values computed here, independently of the store.
#include <openssl/evp.h>

#include <cstdio>
#include <limits>

#include "service/labelmgr_bus_fixture.h"
#include "support/bus_client.h"

namespace {

const std::string kInvalid = "!org.freedesktop.DBus.Error.InvalidArgs: ";
constexpr uint64_t kModuleType = 1000;  // the object type "module"

std::string sm3(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sm3(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string sm3Hex(const std::string& data)
{
    std::string hex;
    char byte[3];
    for (unsigned char c : sm3(data)) {
        snprintf(byte, sizeof(byte), "%02x", c);
        hex += byte;
    }
    return hex;
}

// A package name the store has not seen gets the digest's last 8 bytes.
uint64_t pkgIdOf(const std::string& name)
{
    uint64_t id = 0;
    for (unsigned char c : sm3(name).substr(24)) {
        id = id << 8 | c;
    }
    return id;
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
        ids += (ids.empty() ? "" : ",") + std::to_string(pkgIdOf(name));
    }
    const std::string all = std::to_string(std::numeric_limits<uint64_t>::max());
    const struct {
        const char* method;
        std::vector<BusArg> args;
        std::string reply;
    } rows[] = {
        {"getPkgId", {argString(p512)}, std::to_string(pkgIdOf(p512))},
        {"getPkgId", {argString(p513)}, kInvalid + "pkgname too long"},
        {"getPkgId", {argString("")}, kInvalid + "pkgname is empty"},
        {"getPkgIds", {argStrings(names(1000, 7))}, "[" + ids + "] 0"},
        {"getPkgIds", {argStrings(names(1001))}, kInvalid + "pkgnames too large"},
        {"getPkgIds", {argStrings({"a", p513})}, kInvalid + "pkgname too long"},
        {"getPkgIds", {argStrings({})}, kInvalid + "pkgnames is empty"},
        {"getPkgIds", {argStrings({"a", "", "c"})}, "[" + std::to_string(pkgIdOf("a")) + "] -1"},
        {"getPkgNameById", {argU64(pkgIdOf("a"))}, str("a")},
        {"getPkgNameById", {argU64(12345)}, str("")},
        {"getPkgNameById", {argU64(0)}, kInvalid + "pkgId is zero"},
        {"getPkgNameById", {argU64(std::numeric_limits<uint64_t>::max())}, kInvalid + "pkgId is invalid"},
        {"getKernelModuleOid", {argString("ext4")}, std::to_string(moduleOidOf("ext4"))},
        {"getKernelModuleOid", {argString(p512)}, std::to_string(moduleOidOf(p512))},
        {"getKernelModuleOid", {argString(p513)}, kInvalid + "module_name too long"},
        {"getKernelModuleOid", {argString("")}, kInvalid + "module_name empty"},
        {"getKernelModuleOids", {argStrings({"ext4", "", "ext4"})}, "{\"ext4\":" + std::to_string(moduleOidOf("ext4")) + "}"},
        {"getKernelModuleOids", {argStrings(names(1001))}, kInvalid + "module_name too large"},
        {"getKernelModuleOids", {argStrings({"a", p513})}, kInvalid + "module_name too long"},
        {"getKernelModuleOids", {argStrings({})}, kInvalid + "module_name empty"},
        {"getDeviceOid", {argString("disk")}, std::to_string(2ull << 32 | 3)},
        {"getDeviceOid", {argString("storage")}, std::to_string(2ull << 32)},
        {"getDeviceOid", {argString("nodev")}, all},
        {"getDeviceOid", {argString(p513)}, kInvalid + "device too long"},
        {"getDeviceOid", {argString("")}, kInvalid + "device empty"},
        {"getDeviceOids", {argStrings({"disk", "nodev"})}, "{\"disk\":" + std::to_string(2ull << 32 | 3) + "}"},
        {"getDeviceOids", {argStrings(names(1001))}, kInvalid + "device too large"},
        {"getDeviceOids", {argStrings({})}, kInvalid + "device empty"},
        {"getPathSm3HashValue", {argString(h4096)}, str(sm3Hex(h4096))},
        {"getPathSm3HashValue", {argString("rel/../x")}, str(sm3Hex("rel/../x"))},
        {"getPathSm3HashValue", {argString(h4097)}, kInvalid + "path too long"},
        {"getPathSm3HashValue", {argString("")}, kInvalid + "path is empty"},
        {"pathNormalize", {argString("/tmproot/usr/lib/")}, str("/sysroot/usr/lib")},
        {"pathNormalize", {argString("/tmprootx/y/*")}, str("/sysrootx/y")},
        {"pathNormalize", {argString("/a//b")}, kInvalid + "path is not safe"},
        {"setLabelForQuensetInterpreter", {argString("/usr/bin/q")}, "0"},
        {"setLabelForQuensetInterpreter", {argString("rel")}, kInvalid + "path is not safe"},
        {"setLabelForSoviInterpreter", {argString("/a/../b")}, kInvalid + "path is not safe"},
    };
    for (const auto& row : rows) {
        BusClient client;  // a rate budget of its own
        const std::string reply = client.call(row.method, row.args);
        EXPECT_TRUE(reply == row.reply) << row.method << ": " << reply.substr(0, 300);
    }
}

}  // namespace
