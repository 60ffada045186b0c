// Package and object identifier methods: names to package, module and device
// identifiers and back, the SM3 digest of a path string, the rewritten form
// of a path, and the three methods that only report success.
#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/mount_table.h"
#include "common/path_safety.h"
#include "common/path_utils.h"
#include "common/sm3_hash.h"
#include "service/request_frame.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr std::size_t kMaxNameBytes = 512;
constexpr std::size_t kMaxNamesPerCall = 1000;
constexpr std::size_t kMaxHashedPathBytes = 4096;
constexpr uint64_t kAllOnes64 = std::numeric_limits<uint64_t>::max();

// Paths the kernel reports under the initial root's mount point are the
// visible system's paths.
constexpr const char kInitialRootPrefix[] = "/tmproot";
constexpr const char kSystemRootPrefix[] = "/sysroot";

// The InvalidArgs texts of one kind of name, as one name and as an array.
struct NameTexts {
    const char* empty;
    const char* arrayEmpty;
    const char* tooMany;
    const char* tooLong;
};

constexpr NameTexts kPkgNameTexts{"pkgname is empty", "pkgnames is empty", "pkgnames too large", "pkgname too long"};
constexpr NameTexts kModuleNameTexts{"module_name empty", "module_name empty", "module_name too large",
                                     "module_name too long"};
constexpr NameTexts kDeviceNameTexts{"device empty", "device empty", "device too large", "device too long"};

const char* checkName(const std::string& name, const NameTexts& texts)
{
    if (name.empty()) {
        return texts.empty;
    }
    return name.size() > kMaxNameBytes ? texts.tooLong : nullptr;
}

// Only the array's size and each entry's length: an empty entry is the
// store's to refuse.
const char* checkNames(const std::vector<std::string>& names, const NameTexts& texts)
{
    if (names.empty()) {
        return texts.arrayEmpty;
    }
    if (names.size() > kMaxNamesPerCall) {
        return texts.tooMany;
    }
    for (const auto& name : names) {
        if (name.size() > kMaxNameBytes) {
            return texts.tooLong;
        }
    }
    return nullptr;
}

const char* checkSafePath(const std::string& path)
{
    const bool allowSymlink = true;
    const bool allowWildcard = true;
    const bool allowMissing = true;
    return isFilePathSafe(path, allowSymlink, allowWildcard, allowMissing) ? nullptr : "path is not safe";
}

using OidLookup = int (VetuRestoreInit::*)(const std::string&, uint64_t&);

// Names the store cannot resolve are left out of the map.
ContextMgrService::IdTriple oidsByName(VetuRestoreInit& store, OidLookup lookup, const char* kind,
                                       const std::vector<std::string>& names)
{
    ContextMgrService::IdTriple oids;
    for (const auto& name : names) {
        uint64_t oid = 0;
        if ((store.*lookup)(name, oid) != 0) {
            continue;
        }
        oids[name] = oid;
        LOG_DEBUG("%s: %s oid: %016lx", kind, logSafe(name).c_str(), oid);
    }
    return oids;
}

}  // namespace

uint64_t ContextMgrService::getPkgId(const std::string& pkgname, const std::string& sender)
{
    return runRequest<Method::getPkgId>(
        sender, [&] { return checkName(pkgname, kPkgNameTexts); },
        [&] {
            uint64_t id = kAllOnes64;
            const int ret = m_store.getPkgId(pkgname, id);
            if (ret == 0 && id != 0) {
                LOG_INFO("getPkgId success: pkgname=%s, id: 0x%016lx", logSafe(pkgname).c_str(), id);
                return id;
            }
            LOG_ERROR("getPkgId failed: pkgname=%s, ret=%d, pkgid=%lu", logSafe(pkgname).c_str(), ret, id);
            return kAllOnes64;
        });
}

void ContextMgrService::getPkgIds(const std::vector<std::string>& pkgnames, std::vector<uint64_t>& pkgids,
                                  int32_t& result, const std::string& sender)
{
    // On a failure pkgids still carries the identifiers found before it.
    result = runRequest<Method::getPkgIds>(
        sender, [&] { return checkNames(pkgnames, kPkgNameTexts); },
        [&] {
            for (const auto& name : pkgnames) {
                uint64_t id = 0;
                const int ret = m_store.getPkgId(name, id);
                if (ret != 0 || id == 0) {
                    LOG_ERROR("getPkgIds failed: pkgname=%s, ret=%d", logSafe(name).c_str(), ret);
                    return int32_t(-1);
                }
                pkgids.push_back(id);
            }
            return int32_t(0);
        });
}

std::string ContextMgrService::getPkgNameById(const uint64_t& pkgId, const std::string& sender)
{
    return runRequest<Method::getPkgNameById>(
        sender,
        [&]() -> const char* {
            if (pkgId == 0) {
                return "pkgId is zero";
            }
            return pkgId == kAllOnes64 ? "pkgId is invalid" : nullptr;
        },
        [&] {
            std::string name = m_store.getPkgNameById(pkgId);
            if (name.empty()) {
                LOG_ERROR("get pkg name by id %016lx failed.", pkgId);
            }
            return name;
        });
}

uint64_t ContextMgrService::getKernelModuleOid(const std::string& moduleNmae, const std::string& sender)
{
    return runRequest<Method::getKernelModuleOid>(
        sender, [&] { return checkName(moduleNmae, kModuleNameTexts); },
        [&] {
            uint64_t oid = 0;
            if (m_store.getKmodOid(moduleNmae, oid) != 0) {
                return kAllOnes64;
            }
            LOG_INFO("moduleName: %s oid: %016lx", logSafe(moduleNmae).c_str(), oid);
            return oid;
        });
}

ContextMgrService::IdTriple ContextMgrService::getKernelModuleOids(const std::vector<std::string>& moduleNmae,
                                                                   const std::string& sender)
{
    return runRequest<Method::getKernelModuleOids>(
        sender, [&] { return checkNames(moduleNmae, kModuleNameTexts); },
        [&] { return oidsByName(m_store, &VetuRestoreInit::getKmodOid, "moduleName", moduleNmae); });
}

uint64_t ContextMgrService::getDeviceOid(const std::string& device, const std::string& sender)
{
    return runRequest<Method::getDeviceOid>(
        sender, [&] { return checkName(device, kDeviceNameTexts); },
        [&] {
            LOG_INFO("device: %s", logSafe(device).c_str());
            uint64_t oid = 0;
            if (m_store.getDeviceOid(device, oid) != 0) {
                return kAllOnes64;
            }
            LOG_DEBUG("device: %s oid: %016lx", logSafe(device).c_str(), oid);
            return oid;
        });
}

ContextMgrService::IdTriple ContextMgrService::getDeviceOids(const std::vector<std::string>& device,
                                                             const std::string& sender)
{
    return runRequest<Method::getDeviceOids>(
        sender, [&] { return checkNames(device, kDeviceNameTexts); },
        [&] { return oidsByName(m_store, &VetuRestoreInit::getDeviceOid, "device", device); });
}

std::string ContextMgrService::getPathSm3HashValue(const std::string& path, const std::string& sender)
{
    // Any byte string is hashed as it is: no file is read.
    return runRequest<Method::getPathSm3HashValue>(
        sender,
        [&]() -> const char* {
            if (path.empty()) {
                return "path is empty";
            }
            return path.size() > kMaxHashedPathBytes ? "path too long" : nullptr;
        },
        [&] { return getSM3HashValue(path); });
}

std::string ContextMgrService::pathNormalize(const std::string& path, const std::string& sender)
{
    return runRequest<Method::pathNormalize>(
        sender, [&] { return checkSafePath(path); },
        [&] {
            const std::string visible = replaceBeginString(path, kInitialRootPrefix, kSystemRootPrefix);
            return normalizePath(translateBindMountPath(visible));
        });
}

int32_t ContextMgrService::getLabelSetStatus(const std::string& sender)
{
    return runRequest<Method::getLabelSetStatus>(sender, kNoArgumentChecks, [] { return int32_t(0); });
}

int32_t ContextMgrService::setLabelForQuensetInterpreter(const std::string& path, const std::string& sender)
{
    return runRequest<Method::setLabelForQuensetInterpreter>(
        sender, [&] { return checkSafePath(path); }, [] { return int32_t(0); });
}

int32_t ContextMgrService::setLabelForSoviInterpreter(const std::string& path, const std::string& sender)
{
    return runRequest<Method::setLabelForSoviInterpreter>(
        sender, [&] { return checkSafePath(path); }, [] { return int32_t(0); });
}
