// The read side of the store: which identifiers a package, path, kernel
// module or device gets. Exact user-set entries beat patterns, patterns beat
// configured entries, and those beat values derived from the name itself.
#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include <log4cpp/Priority.hh>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_utils.h"
#include "common/sm3_hash.h"
#include "store/object_type_map.h"
#include "store/pattern_match.h"
#include "store/vetu_restore_init.h"

using pattern_match::lastMatchingPattern;

namespace {


// Paths that also exist without their first four characters (/usr/bin/ls is
// /bin/ls on a merged /usr; /var/tmp/x is /tmp/x).
const char* const kStrippablePrefixes[] = {"/usr/lib",  "/usr/lib32", "/usr/libx32", "/usr/lib64", "/usr/sbin",
                                           "/usr/bin",  "/var/tmp",   "/var/mnt",    "/var/opt"};
constexpr size_t kStrippedLength = 4;

template <typename V>
bool exactEntry(const SyncMap<std::string, V>& exact, const std::string& path, V& value)
{
    return exact.get(path, value) == 0;
}

template <typename V>
bool exactEntry(const std::map<std::string, V>& exact, const std::string& path, V& value)
{
    const auto it = exact.find(path);
    if (it == exact.end()) {
        return false;
    }
    value = it->second;
    return true;
}

// Exact entry, else last matching pattern; from the store's maps or from
// tables loaded before.
template <typename Table, typename V>
bool userConfigured(const Table& exact, const Table& patterns, const std::string& path, V& value)
{
    const bool matched = lastMatchingPattern(patterns, path, value);
    return exactEntry(exact, path, value) || matched;
}

// The shared copy of a container (as a C), made anew only when the last one
// is gone or was dropped by a change. The caller holds the container's lock.
template <typename C, typename L>
std::shared_ptr<const C> sharedCopy(std::weak_ptr<const C>& cache, const L& live)
{
    std::shared_ptr<const C> copy = cache.lock();
    if (!copy) {
        copy = std::make_shared<const C>(live.begin(), live.end());
        cache = copy;
    }
    return copy;
}

// Whether dir, without a trailing '/', is in the cache; only absolute paths
// are. The common case, no trailing '/', copies nothing.
template <typename Dirs>
bool isCachedParentDirIn(const Dirs& dirs, const std::string& dir)
{
    if (dir.empty() || dir[0] != '/') {
        return false;
    }
    if (dir.back() != '/') {
        return dirs.count(dir) != 0;
    }
    const std::string key = dir.substr(0, dir.size() - 1);
    return !key.empty() && dirs.count(key) != 0;
}

template <typename V>
V entryOr(const std::map<std::string, V>& table, const std::string& path, V fallback)
{
    const auto it = table.find(path);
    return it != table.end() ? it->second : fallback;
}

}  // namespace

int VetuRestoreInit::getPkgId(const std::string& pkgName, uint64_t& pkgId)
{
    return getPkgId(pkgName, pkgId, nullptr);
}

int VetuRestoreInit::getPkgId(const std::string& pkgName, uint64_t& pkgId, const IdentifierTables* tables)
{
    if (pkgName.empty()) {
        LOG_ERROR("pkgname is empty.");
        return -1;
    }
    pkgId = 0;
    const bool userSet = tables != nullptr ? exactEntry(*tables->userPkgIds, pkgName, pkgId)
                                           : identityDataUserConfigPid.get(pkgName, pkgId) == 0;
    if (userSet) {
        LOG_DEBUG("pkgname: %s, id: 0x%016lx", logSafe(pkgName).c_str(), pkgId);
        return 0;
    }
    bool known = false;
    if (tables != nullptr && tables->pkgIds) {
        const auto it = tables->pkgIds->find(pkgName);
        if (it != tables->pkgIds->end()) {
            pkgId = it->second.pkgId;
            known = true;
        }
    } else {
        std::lock_guard<std::mutex> guard(m_pkgMapMutex);
        const auto it = m_mapPkgNameToId.find(pkgName);
        if (it != m_mapPkgNameToId.end()) {
            pkgId = it->second.pkgId;
            known = true;
        }
    }
    if (!known) {
        // Hashed outside the lock; whoever registers the name first owns it.
        const uint64_t derived = getSM3HashLast64Bits(pkgName);
        if (derived == 0) {
            return -1;
        }
        std::lock_guard<std::mutex> guard(m_pkgMapMutex);
        const auto placed = m_mapPkgNameToId.emplace(pkgName, PkgIdInfo{derived, kPkgTypeRpm});
        if (placed.second) {
            m_mapPkgIdToName[derived] = pkgName;
            m_pkgIdsCopy.reset();
            noteDataChange();
        }
        pkgId = placed.first->second.pkgId;
    }
    LOG_DEBUG("pkgname: %s, id: 0x%016lx", logSafe(pkgName).c_str(), pkgId);
    return 0;
}

std::string VetuRestoreInit::getPkgNameById(uint64_t pkgId)
{
    std::lock_guard<std::mutex> guard(m_pkgMapMutex);
    const auto it = m_mapPkgIdToName.find(pkgId);
    return it == m_mapPkgIdToName.end() ? std::string() : it->second;
}

int VetuRestoreInit::queryFilePkgid(const std::string& filePath, uint64_t& pkgId, uint32_t& pkgType)
{
    return queryFilePkgid(filePath, pkgId, pkgType, nullptr);
}

int VetuRestoreInit::queryFilePkgid(const std::string& filePath, uint64_t& pkgId, uint32_t& pkgType,
                                    const IdentifierTables& tables)
{
    return queryFilePkgid(filePath, pkgId, pkgType, &tables);
}

int VetuRestoreInit::queryFilePkgid(const std::string& filePath, uint64_t& pkgId, uint32_t& pkgType,
                                    const IdentifierTables* tables)
{
    if (filePath.empty()) {
        LOG_ERROR("Empty path");
        return -1;
    }
    // The owner is copied out and the path lock released before the package
    // maps are locked, so no two of these locks are ever held together.
    FilePkgInfo owner;
    if (queryFileOwner(filePath, owner, tables)) {
        pkgType = owner.pkgType;
        return getPkgId(owner.pkgName, pkgId, tables);
    }
    for (const char* prefix : kStrippablePrefixes) {
        if (!startsWith(filePath, prefix)) {
            continue;
        }
        // Kept from one question to the next: a new file under a merged
        // /usr asks this every time.
        thread_local std::string strippedPath;
        strippedPath.assign(filePath, kStrippedLength);
        LOG_INFO("strippedPath: %s", logSafe(strippedPath).c_str());
        if (queryFileOwner(strippedPath, owner, tables)) {
            LOG_INFO("pkgName: %s, _pkgType: %d", logSafe(owner.pkgName).c_str(),
                     static_cast<int>(owner.pkgType));
            pkgType = owner.pkgType;
            return getPkgId(owner.pkgName, pkgId, tables);
        }
        break;  // every prefix strips the same four characters
    }
    pkgId = 0;
    pkgType = 0;
    LOG_DEBUG("No package found for path: %s", logSafe(filePath).c_str());
    return 0;
}

bool VetuRestoreInit::queryFileOwner(const std::string& filePath, FilePkgInfo& owner, const IdentifierTables* tables)
{
    if (tables != nullptr && tables->fileOwners) {
        return exactEntry(*tables->fileOwners, filePath, owner);
    }
    std::lock_guard<std::mutex> guard(m_filePathMapMutex);
    const auto it = m_fileOwnerIndex.find(filePath);
    if (it == m_fileOwnerIndex.end()) {
        return false;
    }
    owner = *it->second;
    return true;
}

bool VetuRestoreInit::findFilePkgId(const std::string& filePath, uint64_t& pkgId, const IdentifierTables& tables)
{
    if (filePath.empty()) {
        LOG_ERROR("filepath is empty.");
        return false;
    }
    if (!tables.fileOwners || !tables.pkgIds) {
        std::string pkgName;
        return queryFileBelongPkg(filePath, pkgName) && findPkgId(pkgName, pkgId);
    }
    const auto owner = tables.fileOwners->find(filePath);
    if (owner == tables.fileOwners->end()) {
        return false;
    }
    const auto id = tables.pkgIds->find(owner->second.pkgName);
    if (id == tables.pkgIds->end()) {
        return false;
    }
    pkgId = id->second.pkgId;
    return true;
}

bool VetuRestoreInit::queryPreallocatedFilePkgid(const std::string& filePath, uint64_t& pkgId)
{
    return exactEntry(*m_mapPreallocatedFilePkgId.load(), filePath, pkgId);
}

bool VetuRestoreInit::queryPreallocatedFilePkgid(const std::string& filePath, uint64_t& pkgId,
                                                 const IdentifierTables& tables)
{
    return exactEntry(*tables.preallocatedPkgIds, filePath, pkgId);
}

int VetuRestoreInit::getFileOid(const std::string& filePath, vetu_id_t& oid)
{
    if (filePath.empty()) {
        LOG_ERROR("filepath is empty.");
        return -1;
    }
    oid = vetu_id_t{};
    const bool matched =
        lastMatchingPattern(identityDataUserConfigOidGlob, filePath, oid, [&filePath](const std::string& pattern) {
            LOG_INFO("matchesPattern p.first %s, filepath %s", logSafe(pattern).c_str(), logSafe(filePath).c_str());
        });
    const bool exact = identityDataUserConfigOid.get(filePath, oid) == 0;
    int ret = 0;
    if (!matched && !exact) {
        ret = deriveFileIdentity(filePath, oid);
    }
    LOG_DEBUG("file: %s, oid: %016lx-%016lx-%016lx", logSafe(filePath).c_str(), oid.pkg_id, oid.file_id, oid.path_id);
    return ret;
}

int VetuRestoreInit::getFileSid(const std::string& filePath, vetu_id_t& sid)
{
    if (filePath.empty()) {
        LOG_ERROR("filepath is empty.");
        return -1;
    }
    sid = vetu_id_t{};
    int ret = 0;
    if (!userConfigured(identityDataUserConfigSid, identityDataUserConfigSidGlob, filePath, sid)) {
        ret = deriveFileIdentity(filePath, sid);
    }
    LOG_DEBUG("file: %s, sid: %016lx-%016lx-%016lx", logSafe(filePath).c_str(), sid.pkg_id, sid.file_id, sid.path_id);
    return ret;
}

int VetuRestoreInit::deriveFileIdentity(const std::string& filePath, vetu_id_t& id)
{
    uint32_t pkgType = 0;
    int ret = queryFilePkgid(filePath, id.pkg_id, pkgType);
    if (ret == 0) {
        ret = getFileId(filePath, id.file_id);
        id.path_id = 0;
    }
    return ret;
}

int VetuRestoreInit::getSidPathId(const std::string& path, uint64_t& pathId)
{
    return userPathId(identityDataUserConfigSid, identityDataUserConfigSidGlob, path, pathId);
}

int VetuRestoreInit::getOidPathId(const std::string& path, uint64_t& pathId)
{
    return userPathId(identityDataUserConfigOid, identityDataUserConfigOidGlob, path, pathId);
}

int VetuRestoreInit::userPathId(const SyncMap<std::string, vetu_id_t>& exact,
                                const SyncMap<std::string, vetu_id_t>& patterns, const std::string& path,
                                uint64_t& pathId)
{
    if (path.empty()) {
        LOG_ERROR("path is empty.");
        return -1;
    }
    vetu_id_t id{};
    int ret = 0;
    if (userConfigured(exact, patterns, path, id)) {
        pathId = id.path_id;
    } else {
        pathId = getSM3HashLast64Bits(path);
        ret = pathId == 0 ? -1 : 0;
    }
    LOG_DEBUG("file: %s, path_id: 0x%016lx", logSafe(path).c_str(), pathId);
    return ret;
}

int VetuRestoreInit::getFileId(const std::string& filePath, uint64_t& fileId)
{
    if (filePath.empty()) {
        LOG_ERROR("filename is empty..");
        return -1;
    }
    fileId = getSM3HashLast64Bits(filePath);
    LOG_DEBUG("file: %s, id: 0x%016lx", logSafe(filePath).c_str(), fileId);
    return fileId != 0 ? 0 : -1;
}

int VetuRestoreInit::getFileCreatorOid(const std::string& filePath, vetu_id_t& oid)
{
    if (filePath.empty()) {
        LOG_ERROR("filepath is empty..");
        return -1;
    }
    oid = vetu_id_t{};
    identityDataUserConfigCreateOid.get(filePath, oid);
    LOG_DEBUG("file: %s, creator oid: %016lx-%016lx-%016lx", logSafe(filePath).c_str(), oid.pkg_id, oid.file_id,
              oid.path_id);
    return 0;
}

int VetuRestoreInit::getFileCreatorOid(const std::string& filePath, vetu_id_t& oid, const IdentifierTables& tables)
{
    if (filePath.empty()) {
        LOG_ERROR("filepath is empty..");
        return -1;
    }
    oid = entryOr(*tables.createOids, filePath, vetu_id_t{});
    LOG_DEBUG("file: %s, creator oid: %016lx-%016lx-%016lx", logSafe(filePath).c_str(), oid.pkg_id, oid.file_id,
              oid.path_id);
    return 0;
}

int VetuRestoreInit::getDirInheritFlag(const std::string& path, uint32_t& flag)
{
    if (path.empty()) {
        LOG_ERROR("path is empty.");
        return -1;
    }
    if (!userConfigured(identityDataUserConfigInheritFlag, identityDataUserConfigInheritFlagGlob, path, flag)) {
        flag = entryOr(*m_mapDirInheritFlag.load(), path, kUnconfiguredDirInheritFlag);
    }
    LOG_DEBUG("file: %s, inherit flag: 0x%08x", logSafe(path).c_str(), flag);
    return 0;
}

int VetuRestoreInit::getDirInheritFlag(const std::string& path, uint32_t& flag, const IdentifierTables& tables)
{
    if (path.empty()) {
        LOG_ERROR("path is empty.");
        return -1;
    }
    if (!userConfigured(*tables.inheritFlags, *tables.inheritFlagPatterns, path, flag)) {
        flag = entryOr(*tables.dirInheritFlags, path, kUnconfiguredDirInheritFlag);
    }
    LOG_DEBUG("file: %s, inherit flag: 0x%08x", logSafe(path).c_str(), flag);
    return 0;
}

int VetuRestoreInit::getTid(const std::string& path, uint32_t& tid)
{
    if (!userConfigured(identityDataUserConfigTid, identityDataUserConfigTidGlob, path, tid)) {
        tid = entryOr(*m_mapInterpreterTid.load(), path, kDefaultTid);
    }
    LOG_DEBUG("file: %s, tid: 0x%08x", logSafe(path).c_str(), tid);
    return 0;
}

int VetuRestoreInit::getTid(const std::string& path, uint32_t& tid, const IdentifierTables& tables)
{
    if (!userConfigured(*tables.tids, *tables.tidPatterns, path, tid)) {
        tid = entryOr(*tables.interpreterTids, path, kDefaultTid);
    }
    LOG_DEBUG("file: %s, tid: 0x%08x", logSafe(path).c_str(), tid);
    return 0;
}

IdentifierTables VetuRestoreInit::loadIdentifierTables(bool withPackageData) const
{
    IdentifierTables tables;
    tables.tids = identityDataUserConfigTid.snapshot();
    tables.tidPatterns = identityDataUserConfigTidGlob.snapshot();
    tables.interpreterTids = m_mapInterpreterTid.load();
    tables.inheritFlags = identityDataUserConfigInheritFlag.snapshot();
    tables.inheritFlagPatterns = identityDataUserConfigInheritFlagGlob.snapshot();
    tables.dirInheritFlags = m_mapDirInheritFlag.load();
    tables.createOids = identityDataUserConfigCreateOid.snapshot();
    tables.oids = identityDataUserConfigOid.snapshot();
    tables.oidPatterns = identityDataUserConfigOidGlob.snapshot();
    tables.sids = identityDataUserConfigSid.snapshot();
    tables.sidPatterns = identityDataUserConfigSidGlob.snapshot();
    tables.preallocatedPkgIds = m_mapPreallocatedFilePkgId.load();
    tables.inheritDirLabels = m_mapInheritDirLabel.load();
    tables.userPkgIds = identityDataUserConfigPid.snapshot();
    if (!withPackageData) {
        return tables;
    }
    {
        std::lock_guard<std::mutex> guard(m_pkgMapMutex);
        tables.pkgIds = sharedCopy(m_pkgIdsCopy, m_mapPkgNameToId);
    }
    {
        std::lock_guard<std::mutex> guard(m_filePathMapMutex);
        tables.fileOwners = sharedCopy(m_fileOwnersCopy, m_mapFilePathToPkgName);
    }
    std::lock_guard<std::mutex> guard(m_parentDirsMutex);
    tables.parentDirs = sharedCopy(m_parentDirsCopy, m_cachedParentDirs);
    return tables;
}

bool VetuRestoreInit::isCachedParentDir(const std::string& dir)
{
    std::lock_guard<std::mutex> guard(m_parentDirsMutex);
    return isCachedParentDirIn(m_parentDirIndex, dir);
}

bool VetuRestoreInit::isCachedParentDir(const std::string& dir, const IdentifierTables& tables)
{
    return tables.parentDirs ? isCachedParentDirIn(*tables.parentDirs, dir) : isCachedParentDir(dir);
}

bool VetuRestoreInit::getInheritDirLabel(const std::string& dir, LabelContext& label)
{
    const auto labels = m_mapInheritDirLabel.load();
    const auto it = labels->find(dir);
    if (it == labels->end()) {
        return false;
    }
    label = it->second;
    return true;
}

int VetuRestoreInit::getKmodOid(const std::string& moduleName, uint64_t& oid)
{
    if (moduleName.empty()) {
        LOG_ERROR("moduleName is empty.");
        return -1;
    }
    const auto module = objectTypeMap.find("module");
    if (module == objectTypeMap.end()) {
        LOG_ERROR("get pre alloc oid failed.");
        return -1;
    }
    // The hash takes an int length: a longer name is no module name.
    const uint32_t hash =
        moduleName.size() > INT_MAX ? 0 : fnv1aHash32(moduleName.data(), static_cast<int>(moduleName.size()));
    if (hash == 0) {
        LOG_ERROR("get name hash failed.");
        return -1;
    }
    oid = (static_cast<uint64_t>(static_cast<uint32_t>(module->second)) << 32) | hash;
    LOG_DEBUG("module name: %s, oid: 0x%016lx", logSafe(moduleName).c_str(), oid);
    return 0;
}

int VetuRestoreInit::getDeviceTypeId(const std::string& name, uint64_t& id)
{
    const auto table = m_vecDeviceTypeInfo.load();
    if (name.empty() || table->empty()) {
        LOG_ERROR("name or m_vecDeviceTypeInfo is empty..");
        return -1;
    }
    // Both halves are the 32-bit patterns of the file's values: a negative
    // subclass must not spill into the class half.
    const auto half = [](int32_t value) { return static_cast<uint64_t>(static_cast<uint32_t>(value)); };
    for (const auto& type : *table) {
        for (const auto& cls : type.classes) {
            for (const auto& sub : cls.subclasses) {
                if (sub.name == name) {
                    id = (half(cls.value) << 32) | half(sub.value);
                    return 0;
                }
            }
            if (cls.name == name) {
                id = half(cls.value) << 32;
                return 0;
            }
        }
        if (type.name == name) {
            break;
        }
    }
    id = 0;
    return 0;
}

int VetuRestoreInit::getDeviceOid(const std::string& deviceName, uint64_t& oid)
{
    if (deviceName.empty()) {
        LOG_ERROR("device is empty..");
        return -1;
    }
    uint64_t id = 0;
    if (getDeviceTypeId(deviceName, id) != 0 || id == 0) {
        return -1;
    }
    oid = id;
    LOG_DEBUG("device name: %s, oid: 0x%016lx", logSafe(deviceName).c_str(), oid);
    return 0;
}
