// The start-up build of the data store: signed data first, else the package
// database through rpm; then the configuration, the mount-point types, the
// parent-directory cache and the inherit-directory labels.
#include <sys/stat.h>

#include <chrono>
#include <exception>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/command.h"
#include "common/elapsed_time.h"
#include "common/file_utils.h"
#include "common/label_xattr.h"
#include "common/logger.h"
#include "common/mount_table.h"
#include "common/path_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/conf_file_reader.h"
#include "store/pattern_match.h"
#include "store/vetu_restore_init.h"

using pattern_match::lastMatchingPattern;

namespace {

constexpr const char kFilesystemPkg[] = "filesystem";

// name-version-release.arch: the name ends before the second-to-last '-'.
std::string packageNameOf(const std::string& line)
{
    const auto last = line.rfind('-');
    if (last == std::string::npos || last == 0) {
        return line;
    }
    const auto secondLast = line.rfind('-', last - 1);
    return secondLast == std::string::npos ? line : line.substr(0, secondLast);
}

// The paths rpm lists for pkgName, added to the store's path map. False when
// rpm gave no list at all (it failed or was killed: a package without files
// still gets its notice line).
bool addPackageFileList(VetuRestoreInit& store, const std::string& pkgName)
{
    // Whole lines: a path that fills the command's pieces exactly would
    // otherwise take the next path with it.
    const std::vector<std::string> lines = executeCommand(paths::kRpm, {"-ql", pkgName}, true);
    if (lines.empty()) {
        return false;
    }
    store.addPackageFiles(pkgName, kPkgTypeRpm, lines);
    return true;
}

// Every directory that holds, or is an ancestor of a directory that holds,
// one of the paths (a directory path counts as holding itself), and "/".
std::set<std::string> collectParentDirectories(const std::vector<std::string>& paths,
                                               const std::vector<char>& isDirectory)
{
    std::set<std::string> dirs;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        std::string d;
        if (isDirectory[i]) {
            d = path;
        } else {
            const auto slash = path.rfind('/');
            d = slash == std::string::npos ? std::string() : path.substr(0, slash);
        }
        if (d.empty()) {
            continue;
        }
        // Stops at the first directory already known: its ancestors are too.
        bool known = false;
        while (!d.empty() && d != "/") {
            if (!dirs.insert(d).second) {
                known = true;
                break;
            }
            const auto slash = d.rfind('/');
            d = slash == 0 ? std::string("/") : slash == std::string::npos ? std::string() : d.substr(0, slash);
        }
        if (!known) {
            dirs.insert("/");
        }
    }
    return dirs;
}

// Marks the paths in [begin, end) that are directories (links followed).
void markDirectories(const std::vector<std::string>& paths, std::vector<char>& isDirectory, size_t begin,
                     size_t end)
{
    for (size_t i = begin; i < end; ++i) {
        struct stat st;
        isDirectory[i] = stat(paths[i].c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
}

// Waits for every task; one that failed is logged and the others still
// count. False when any failed.
bool waitForTasks(std::vector<std::future<void>>& tasks, const char* what)
{
    bool allDone = true;
    for (auto& task : tasks) {
        try {
            task.get();
        } catch (const std::exception& e) {
            LOG_ERROR("%s task failed: %s", what, e.what());
            allDone = false;
        } catch (...) {
            LOG_ERROR("%s task failed: unknown exception", what);
            allDone = false;
        }
    }
    return allDone;
}

}  // namespace

void VetuRestoreInit::initMap(const FsInfoSync& syncFsFileInfo)
{
    const auto start = StepClock::now();
    if (loadIndentityData() != 0) {
        LOG_ERROR("Failed to load identity data");
    }
    m_mapPathToIdentityType.store(buildIdentityDataIndex());
    // Readiness is set whatever happens here: the service waits for it.
    try {
        startInitPkgSidMap(std::thread::hardware_concurrency(), syncFsFileInfo);
    } catch (const std::exception& e) {
        LOG_ERROR("package data build failed: %s", e.what());
    } catch (...) {
        LOG_ERROR("package data build failed: unknown exception");
    }
    m_isInitialized.store(true, std::memory_order_release);
    LOG_INFO_CATEGORY("cost time: %.4fs", secondsSince(start));
}

void VetuRestoreInit::startInitPkgSidMap(unsigned int processorCount, const FsInfoSync& syncFsFileInfo)
{
    (void)processorCount;  // the pool got its size at construction
    const auto start = StepClock::now();
    const bool needImport = loadPkgAndFileData() == -1;
    std::vector<std::future<void>> idTasks;
    std::vector<std::future<void>> fileTasks;
    bool importComplete = false;
    if (needImport) {
        // Whatever a failed load left behind is not trusted.
        clearPackageData();
        importComplete = queuePackageImport(idTasks, fileTasks);
    }

    std::map<std::string, uint32_t> dirInheritFlags;
    readConfFileToMap(paths::kDirInheritConf, dirInheritFlags);
    m_mapDirInheritFlag.store(std::move(dirInheritFlags));
    std::map<std::string, uint64_t> preallocated;
    readConfFileToMap(paths::kPreallocatedFilePkgidConf, preallocated);
    m_mapPreallocatedFilePkgId.store(std::move(preallocated));
    std::map<std::string, uint64_t> specialFs;
    readConfFileToMap(paths::kSpecialFsPkgidConf, specialFs);
    std::map<std::string, uint32_t> interpreters;
    readConfFileToMap(paths::kInterpreterTidConf, interpreters);
    for (const auto& [file, tid] : interpreters) {
        LOG_DEBUG("file: %s, tid, 0x%016x", file.c_str(), tid);
    }
    m_mapInterpreterTid.store(std::move(interpreters));

    readDeviceTypeInfo(paths::kDeviceInfoXml);

    LOG_INFO("m_mapSpecialFsTypePkgId size %d", static_cast<int>(specialFs.size()));
    for (const auto& [fsType, pkgId] : specialFs) {
        LOG_DEBUG("%s, 0x%016lx", fsType.c_str(), pkgId);
    }
    m_mapSpecialFsTypePkgId.store(std::move(specialFs));

    getMountInfo(mountInfoList);
    std::map<std::string, std::string> mountTypes = getMountPointTypeMap(mountInfoList);
    for (const auto& [mountPoint, fsType] : mountTypes) {
        LOG_DEBUG("%s, %s", mountPoint.c_str(), fsType.c_str());
    }
    m_mapMountPointFsType.store(std::move(mountTypes));

    if (syncFsFileInfo && syncFsFileInfo() == -1) {
        LOG_ERROR("syncFsFileInfoToKernel error.");
    }

    if (needImport) {
        importComplete = waitForTasks(idTasks, "package id") && importComplete;
        importComplete = waitForTasks(fileTasks, "package file list") && importComplete;
        // Paths of "filesystem" belong to it whatever order the tasks ran in.
        try {
            initPkgFilepathMapMultiThread(kFilesystemPkg, 0);
        } catch (const std::exception& e) {
            LOG_ERROR("package file list task failed: %s", e.what());
            importComplete = false;
        }
        getAllParentDirectories();
        // Signed package data is taken as the truth at the next start, so an
        // import that listed nothing (rpm failing, most likely) or lost a
        // task is not stored: the next start imports again.
        if (!importComplete) {
            LOG_ERROR("package import incomplete, package data not stored");
        } else if (idTasks.empty()) {
            LOG_ERROR("no package found in the package database, package data not stored");
        } else if (storePkgAndFileData() != 0) {
            LOG_ERROR("Failed to store package and file data");
        }
    }

    m_threadPool.stop();
    initInheritDirLabelMap();

    LOG_INFO_CATEGORY("m_mapFilePathToPkgName size %d", static_cast<int>(m_mapFilePathToPkgName.size()));
    LOG_INFO_CATEGORY("m_mapPkgNameToId size %d", static_cast<int>(m_mapPkgNameToId.size()));
    LOG_INFO_CATEGORY("m_mapPkgIdToName size %d", static_cast<int>(m_mapPkgIdToName.size()));
    LOG_INFO_CATEGORY("m_cachedParentDirs size %d", static_cast<int>(m_cachedParentDirs.size()));
    LOG_INFO_CATEGORY("traversing package cost time: %.4fs", secondsSince(start));
}

void VetuRestoreInit::clearPackageData()
{
    {
        std::lock_guard<std::mutex> guard(m_filePathMapMutex);
        m_mapFilePathToPkgName.clear();
        m_fileOwnerIndex.clear();
        m_fileOwnersCopy.reset();
        noteDataChange();
    }
    {
        std::lock_guard<std::mutex> guard(m_pkgMapMutex);
        m_mapPkgNameToId.clear();
        m_mapPkgIdToName.clear();
        m_pkgIdsCopy.reset();
        noteDataChange();
    }
    std::lock_guard<std::mutex> guard(m_parentDirsMutex);
    m_cachedParentDirs.clear();
    m_parentDirIndex.clear();
    m_parentDirsCopy.reset();
    noteDataChange();
    m_isParentDirsCached = false;
}

bool VetuRestoreInit::queuePackageImport(std::vector<std::future<void>>& idTasks,
                                         std::vector<std::future<void>>& fileTasks)
{
    const std::vector<std::string> lines = executeCommand(paths::kRpm, {"-qa"});
    idTasks.reserve(lines.size());
    fileTasks.reserve(lines.size());
    try {
        for (const auto& line : lines) {
            const std::string name = packageNameOf(line);
            idTasks.push_back(m_threadPool.add(&VetuRestoreInit::initPkgSidMapMultiMap, this, name, 0));
            // A list rpm failed to give is a lost task: the import is then
            // not stored as the package database's truth.
            fileTasks.push_back(m_threadPool.add([this, name] {
                if (name.empty()) {
                    initPkgFilepathMapMultiThread(name, 0);  // logs the empty name
                } else if (!addPackageFileList(*this, name)) {
                    throw std::runtime_error("no file list of package " + name);
                }
            }));
        }
    } catch (const std::exception& e) {
        LOG_ERROR("package import failed: %s", e.what());
        return false;
    }
    return true;
}

void VetuRestoreInit::initPkgSidMapMultiMap(std::string pkgName, int)
{
    if (pkgName.empty()) {
        LOG_ERROR("pkgname is empty..");
        return;
    }
    const uint64_t id = getSM3HashLast64Bits(pkgName);
    if (id == 0) {
        LOG_ERROR("calculate pkgname sm3 hash error !");
        return;
    }
    std::lock_guard<std::mutex> guard(m_pkgMapMutex);
    m_mapPkgNameToId[pkgName] = PkgIdInfo{id, kPkgTypeRpm};
    m_mapPkgIdToName[id] = pkgName;
    m_pkgIdsCopy.reset();
    noteDataChange();
}

void VetuRestoreInit::initPkgFilepathMapMultiThread(std::string pkgName, int)
{
    if (pkgName.empty()) {
        LOG_ERROR("pkgname is empty..");
        return;
    }
    addPackageFileList(*this, pkgName);
}

void VetuRestoreInit::getAllParentDirectories()
{
    const auto start = StepClock::now();
    bool cached;
    {
        std::lock_guard<std::mutex> guard(m_parentDirsMutex);
        cached = m_isParentDirsCached;
    }
    if (!cached) {
        // Built outside the cache's lock: the path map's lock is never held
        // together with it, and the walk stats every path.
        std::vector<std::string> paths;
        {
            std::lock_guard<std::mutex> guard(m_filePathMapMutex);
            paths.reserve(m_mapFilePathToPkgName.size());
            for (const auto& entry : m_mapFilePathToPkgName) {
                paths.push_back(entry.first);
            }
        }
        std::set<std::string> dirs = collectParentDirectories(paths, directoryFlags(paths));
        std::lock_guard<std::mutex> guard(m_parentDirsMutex);
        // Keeps what package labelling added in the meantime.
        m_cachedParentDirs.merge(dirs);
        reindexParentDirs();
        m_parentDirsCopy.reset();
        noteDataChange();
        m_isParentDirsCached = true;
    }
    size_t size;
    {
        std::lock_guard<std::mutex> guard(m_parentDirsMutex);
        size = m_cachedParentDirs.size();
    }
    LOG_INFO("m_cachedParentDirs size %d", static_cast<int>(size));
    LOG_INFO("get all parent dir, executed in %.4f seconds", secondsSince(start));
}

std::vector<char> VetuRestoreInit::directoryFlags(const std::vector<std::string>& paths)
{
    // One stat per packaged path: hundreds of thousands at start-up, so they
    // are spread over the import's workers while those still run.
    constexpr size_t kChunk = 8192;
    std::vector<char> isDirectory(paths.size(), 0);
    std::vector<std::future<void>> chunks;
    size_t queued = 0;
    try {
        for (; queued < paths.size(); queued = std::min(paths.size(), queued + kChunk)) {
            chunks.push_back(m_threadPool.add(markDirectories, std::cref(paths), std::ref(isDirectory), queued,
                                              std::min(paths.size(), queued + kChunk)));
        }
    } catch (const std::exception&) {
        // The pool has stopped: the rest is done here.
    }
    markDirectories(paths, isDirectory, queued, paths.size());
    for (auto& chunk : chunks) {
        chunk.get();
    }
    return isDirectory;
}

namespace {

// An exact user-set identity wins whole; else a matching pattern gives the
// package identifier; else the package's own identifier.
vetu_id_t userIdentityOf(const SyncMap<std::string, vetu_id_t>& exact,
                         const SyncMap<std::string, vetu_id_t>& patterns, const std::string& dir, uint64_t pkgId)
{
    vetu_id_t id{};
    if (exact.get(dir, id) == 0) {
        return id;
    }
    vetu_id_t matched{};
    id.pkg_id = lastMatchingPattern(patterns, dir, matched) ? matched.pkg_id : pkgId;
    return id;
}

}  // namespace

void VetuRestoreInit::initInheritDirLabelMap()
{
    std::map<std::string, LabelContext> labels = *m_mapInheritDirLabel.load();
    const auto configured = m_mapDirInheritFlag.load();
    const auto preallocated = m_mapPreallocatedFilePkgId.load();
    for (const auto& [dir, flag] : *configured) {
        if (fileExists(dir.c_str()) != 0) {
            continue;
        }
        LabelContext label{};

        // A directory no package owns gets package identifier 0.
        uint64_t pkgId = 0;
        std::string pkgName;
        if (queryFileBelongPkg(dir, pkgName) && identityDataUserConfigPid.get(pkgName, pkgId) != 0) {
            const auto pre = preallocated->find(dir);
            uint32_t pkgType = 0;
            if (pre != preallocated->end()) {
                pkgId = pre->second;
            } else if (queryFilePkgid(dir, pkgId, pkgType) != 0) {
                pkgId = 0;
            }
        }

        label.sid = userIdentityOf(identityDataUserConfigSid, identityDataUserConfigSidGlob, dir, pkgId);
        label.oid = userIdentityOf(identityDataUserConfigOid, identityDataUserConfigOidGlob, dir, pkgId);

        uint32_t inheritFlag = flag;
        if (identityDataUserConfigInheritFlag.get(dir, inheritFlag) != 0) {
            inheritFlag = flag;
            lastMatchingPattern(identityDataUserConfigInheritFlagGlob, dir, inheritFlag);
        }
        label.inherit_flag = inheritFlag;

        getTid(dir, label.tid);

        if (identityDataUserConfigCreateOid.get(dir, label.create_oid) != 0 &&
            getFileCreateOidFromXattr(dir.c_str(), &label.create_oid, 1) != 0) {
            label.create_oid = vetu_id_t{};
        }
        labels[dir] = label;
    }
    m_mapInheritDirLabel.store(std::move(labels));
}
