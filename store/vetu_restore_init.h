// The process-wide label data store: identity maps, package data, the
// configuration maps, the device-type table and the caches built from them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/label_context.h"
#include "common/thread_pool.h"
#include "common/vetu_id.h"
#include "store/device_type_info.h"
#include "store/identity_maps.h"
#include "store/label_defaults.h"
#include "store/pkg_records.h"
#include "store/published_value.h"

// The tables a path's identifiers and label come from, as they stand at one
// moment: a run that labels many paths loads them once and reads them
// without a lock per query. Filled by VetuRestoreInit::loadIdentifierTables.
struct IdentifierTables {
    template <typename V>
    using Table = std::shared_ptr<const std::map<std::string, V>>;

    Table<uint32_t> tids;
    Table<uint32_t> tidPatterns;
    Table<uint32_t> interpreterTids;
    Table<uint32_t> inheritFlags;
    Table<uint32_t> inheritFlagPatterns;
    Table<uint32_t> dirInheritFlags;
    Table<vetu_id_t> createOids;
    Table<vetu_id_t> oids;
    Table<vetu_id_t> oidPatterns;
    Table<vetu_id_t> sids;
    Table<vetu_id_t> sidPatterns;
    Table<uint64_t> preallocatedPkgIds;
    Table<LabelContext> inheritDirLabels;
    Table<uint64_t> userPkgIds;
    // Copies of the package data; null when loaded without it, and those
    // questions then go to the live maps.
    Table<PkgIdInfo> pkgIds;
    Table<FilePkgInfo> fileOwners;
    // Hashed: a path's question is one lookup, not a walk of a big tree.
    std::shared_ptr<const std::unordered_set<std::string>> parentDirs;
};

// The identity maps and the path-to-category index m_mapPathToIdentityType
// come from IdentityMaps, so that a snapshot is an IdentityMaps copy and
// never starts a thread pool.
class VetuRestoreInit : public IdentityMaps {
public:
    static VetuRestoreInit& getInstance();

    // Touches no file: everything is filled later by the start-up build.
    VetuRestoreInit();
    ~VetuRestoreInit();
    VetuRestoreInit(const VetuRestoreInit&) = delete;
    // The snapshot copy: the identity maps and the index, nothing else.
    VetuRestoreInit& operator=(const VetuRestoreInit& other);

    // --- Package and file registration --------------------------------------
    // Adds the directory of one packaged path and its ancestors (never "/").
    void updateParentDirsCache(const std::string& filePath);
    // The same for many paths, under one lock.
    void updateParentDirsCache(const std::vector<std::string>& filePaths);
    // The same with each path's stat (links followed) asked by the caller.
    void updateParentDirsCache(const std::vector<std::string>& filePaths, const std::vector<char>& isDirectory);
    // Checks freshly loaded package data.
    bool validateMappedData();
    int insertPkgidToMap(const std::string& pkgName, const uint32_t& pkgType);
    void insertFileOfPkgToMap(const std::string& filePath, const std::string& pkgName, const uint32_t& pkgType);
    // The same for many paths of one package, under one lock.
    void insertFilesOfPkgToMap(const std::vector<std::string>& filePaths, const std::string& pkgName,
                               uint32_t pkgType);
    bool queryFileBelongPkg(const std::string& filePath, std::string& pkgName);
    // The paths of one package's listing; lines that are not absolute paths
    // (rpm's notices) are passed over.
    void addPackageFiles(const std::string& pkgName, uint32_t pkgType, const std::vector<std::string>& lines);
    // The identifier a package was registered with; nothing is derived.
    bool findPkgId(const std::string& pkgName, uint64_t& pkgId) const;
    // A copy of all package data as it stands at one moment.
    PkgFileData packageDataSnapshot() const;
    // Exchanges all package data with data.
    void swapPackageData(PkgFileData& data);
    size_t packagedPathCount() const;

    // --- Identifier queries: 0 or -1, the result in the out parameter -------
    int getPkgId(const std::string& pkgName, uint64_t& pkgId);
    std::string getPkgNameById(uint64_t pkgId);
    int queryFilePkgid(const std::string& filePath, uint64_t& pkgId, uint32_t& pkgType);
    bool queryPreallocatedFilePkgid(const std::string& filePath, uint64_t& pkgId);
    int getFileOid(const std::string& filePath, vetu_id_t& oid);
    int getFileSid(const std::string& filePath, vetu_id_t& sid);
    int getSidPathId(const std::string& path, uint64_t& pathId);
    int getOidPathId(const std::string& path, uint64_t& pathId);
    int getFileId(const std::string& filePath, uint64_t& fileId);
    int getFileCreatorOid(const std::string& filePath, vetu_id_t& oid);
    int getDirInheritFlag(const std::string& path, uint32_t& flag);
    int getTid(const std::string& path, uint32_t& tid);
    // The same answers (and log lines) as above, from tables loaded before.
    // Without package data for a single path: the copy is made for many.
    IdentifierTables loadIdentifierTables(bool withPackageData = true) const;
    bool queryPreallocatedFilePkgid(const std::string& filePath, uint64_t& pkgId, const IdentifierTables& tables);
    int getFileCreatorOid(const std::string& filePath, vetu_id_t& oid, const IdentifierTables& tables);
    int getDirInheritFlag(const std::string& path, uint32_t& flag, const IdentifierTables& tables);
    int getTid(const std::string& path, uint32_t& tid, const IdentifierTables& tables);
    // queryFileBelongPkg, then findPkgId on the package found.
    bool findFilePkgId(const std::string& filePath, uint64_t& pkgId, const IdentifierTables& tables);
    int queryFilePkgid(const std::string& filePath, uint64_t& pkgId, uint32_t& pkgType, const IdentifierTables& tables);
    bool isCachedParentDir(const std::string& dir, const IdentifierTables& tables);
    bool isCachedParentDir(const std::string& dir);
    bool getInheritDirLabel(const std::string& dir, LabelContext& label);
    int getKmodOid(const std::string& moduleName, uint64_t& oid);
    int getDeviceOid(const std::string& deviceName, uint64_t& oid);
    int getDeviceTypeId(const std::string& name, uint64_t& id);

    // --- Configuration maps and the device-type table -----------------------
    // Appends the types of the file to m_vecDeviceTypeInfo.
    void readDeviceTypeInfo(const char* xmlFileName);
    uint64_t querySpecialFsPkgid(const std::string& fsType);
    // The type of the mount point at or above the path; "" when none.
    std::string getFsTypeByPath(const std::string& path);
    uint64_t querySpecialFsPkgidByPath(const std::string& path);
    std::map<std::string, uint32_t> getInterpreterTidMap();
    std::map<std::string, uint64_t> getSpecialFsTypePkgIdMap();

    // --- Signed persistence ---------------------------------------------------
    int loadPkgAndFileData();
    int storePkgAndFileData();
    int loadIndentityData();
    int storeIndentityData();

    // --- Start-up build ---------------------------------------------------------
    // Tells the kernel what it needs of the file systems once the
    // configuration is read; handed in by the layer that talks to the kernel.
    using FsInfoSync = std::function<int()>;
    // Fills the store once per process and sets m_isInitialized, whatever
    // part of the build fails.
    void initMap(const FsInfoSync& syncFsFileInfo = {});
    // Package data (stored, else imported through rpm) and configuration.
    void startInitPkgSidMap(unsigned int processorCount, const FsInfoSync& syncFsFileInfo = {});
    void initInheritDirLabelMap();
    // Per-package import tasks; the int is not used.
    void initPkgSidMapMultiMap(std::string pkgName, int);
    void initPkgFilepathMapMultiThread(std::string pkgName, int);
    // Rebuilds m_cachedParentDirs from the packaged paths (the root included).
    void getAllParentDirectories();
    // Empties the package maps and the parent-directory cache.
    void clearPackageData();

    // --- Members -------------------------------------------------------------
    // Set with release order at the end of the start-up build.
    std::atomic<bool> m_isInitialized{false};

    // Filled by the start-up build while package labelling may already read
    // them: published whole, never changed in place.
    PublishedValue<std::map<std::string, uint32_t>> m_mapDirInheritFlag;
    PublishedValue<std::map<std::string, uint64_t>> m_mapPreallocatedFilePkgId;
    PublishedValue<std::map<std::string, LabelContext>> m_mapInheritDirLabel;
    PublishedValue<std::map<std::string, uint32_t>> m_mapInterpreterTid;
    PublishedValue<std::map<std::string, uint64_t>> m_mapSpecialFsTypePkgId;
    PublishedValue<std::map<std::string, std::string>> m_mapMountPointFsType;
    PublishedValue<std::vector<DeviceTypeInfo>> m_vecDeviceTypeInfo;

private:
    // Orders loads and stores of the two signed data files.
    std::shared_mutex m_dataFileMutex;
    // The identity data file on disk failed to load into these maps and has
    // not loaded since: storing now would replace it with what little was set
    // meanwhile. A file that does not parse is set aside by the load instead.
    // Guarded by m_dataFileMutex.
    bool m_identityDataUnloaded = false;
    // Package stores hold m_dataFileMutex only shared: this orders them among
    // themselves, so the store that writes last is the one that read last.
    std::mutex m_pkgStoreMutex;

    std::map<std::string, PkgIdInfo> m_mapPkgNameToId;
    std::map<uint64_t, std::string> m_mapPkgIdToName;
    std::map<std::string, FilePkgInfo> m_mapFilePathToPkgName;
    std::set<std::string> m_cachedParentDirs;
    bool m_isParentDirsCached = false;

    // No operation holds two of these (or one of them and an identity map's
    // lock) at once, but for packageDataSnapshot, which takes all three
    // together; only m_dataFileMutex, and m_pkgStoreMutex after it, may be
    // held while one is taken.
    mutable std::mutex m_pkgMapMutex;       // m_mapPkgNameToId, m_mapPkgIdToName
    mutable std::mutex m_filePathMapMutex;  // m_mapFilePathToPkgName
    mutable std::mutex m_parentDirsMutex;   // m_cachedParentDirs, m_isParentDirsCached

    // Copies of the package containers handed to IdentifierTables: shared
    // while anyone holds one, dropped by every change of the container, and
    // freed with their last holder. Each is guarded by its container's lock.
    mutable std::weak_ptr<const std::map<std::string, PkgIdInfo>> m_pkgIdsCopy;
    mutable std::weak_ptr<const std::map<std::string, FilePkgInfo>> m_fileOwnersCopy;
    mutable std::weak_ptr<const std::unordered_set<std::string>> m_parentDirsCopy;
    // m_mapFilePathToPkgName hashed, for the question of one path (each
    // created file asks it): keys and values point into the map's nodes,
    // which never move, and follow every change under its lock.
    std::unordered_map<std::string_view, const FilePkgInfo*> m_fileOwnerIndex;
    // m_cachedParentDirs hashed the same way, for the same question.
    std::unordered_set<std::string_view> m_parentDirIndex;
    // After a change of m_mapFilePathToPkgName other than adding one entry.
    void reindexFileOwners();
    // After a change of m_cachedParentDirs other than adding one entry.
    void reindexParentDirs();
    // Adds or replaces one entry of m_mapFilePathToPkgName and its index.
    void setFileOwner(const std::string& filePath, const FilePkgInfo& owner);

    // From tables when given, else from the live maps under their locks.
    bool queryFileOwner(const std::string& filePath, FilePkgInfo& owner, const IdentifierTables* tables = nullptr);
    int getPkgId(const std::string& pkgName, uint64_t& pkgId, const IdentifierTables* tables);
    int queryFilePkgid(const std::string& filePath, uint64_t& pkgId, uint32_t& pkgType,
                       const IdentifierTables* tables);
    // (package of the path, file identifier of the path, 0).
    int deriveFileIdentity(const std::string& filePath, vetu_id_t& id);
    int userPathId(const SyncMap<std::string, vetu_id_t>& exact, const SyncMap<std::string, vetu_id_t>& patterns,
                   const std::string& path, uint64_t& pathId);
    // Queues both import tasks of every package rpm lists; false when not
    // all could be queued.
    bool queuePackageImport(std::vector<std::future<void>>& idTasks, std::vector<std::future<void>>& fileTasks);
    // For each path whether it is a directory (links followed).
    std::vector<char> directoryFlags(const std::vector<std::string>& paths);

    // Serves only the package import of the start-up build; last, so that
    // its workers are gone before any map they touch.
    ThPool m_threadPool;
};
