#include "store/vetu_restore_init.h"

#include <sys/stat.h>

#include "common/logger.h"
#include "common/sm3_hash.h"

namespace {

bool contains(const std::string& text, const char* fragment)
{
    return text.find(fragment) != std::string::npos;
}

// rpm prints relocation notices among the file names of a package.
bool isRelocationNotice(const std::string& path)
{
    return (contains(path, "被") && (contains(path, "转移自") || contains(path, "转移至"))) ||
           contains(path, "软件包将其他的包转移至");
}

bool isPkgNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.' || c == '_';
}

bool isValidPkgType(uint32_t pkgType)
{
    return pkgType >= kPkgTypeRpm && pkgType <= kPkgTypeMax;
}

}  // namespace

VetuRestoreInit& VetuRestoreInit::getInstance()
{
    static VetuRestoreInit instance;
    return instance;
}

VetuRestoreInit::VetuRestoreInit() : m_threadPool(ThPool::defaultSize()) {}

VetuRestoreInit::~VetuRestoreInit()
{
    // Queued import tasks are dropped unrun; running ones finish first.
    m_threadPool.stop();
    // Tables built from this store must not be taken for a later one's.
    noteDataChange();
}

VetuRestoreInit& VetuRestoreInit::operator=(const VetuRestoreInit& other)
{
    IdentityMaps::operator=(other);
    return *this;
}

bool VetuRestoreInit::queryFileBelongPkg(const std::string& filePath, std::string& pkgName)
{
    if (filePath.empty()) {
        LOG_ERROR("filepath is empty.");
        return false;
    }
    std::lock_guard<std::mutex> guard(m_filePathMapMutex);
    const auto it = m_fileOwnerIndex.find(filePath);
    if (it == m_fileOwnerIndex.end()) {
        return false;
    }
    pkgName = it->second->pkgName;
    return true;
}

void VetuRestoreInit::reindexFileOwners()
{
    m_fileOwnerIndex.clear();
    m_fileOwnerIndex.reserve(m_mapFilePathToPkgName.size());
    for (const auto& entry : m_mapFilePathToPkgName) {
        m_fileOwnerIndex.emplace(entry.first, &entry.second);
    }
}

void VetuRestoreInit::reindexParentDirs()
{
    m_parentDirIndex.clear();
    m_parentDirIndex.reserve(m_cachedParentDirs.size());
    for (const auto& dir : m_cachedParentDirs) {
        m_parentDirIndex.insert(dir);
    }
}

void VetuRestoreInit::setFileOwner(const std::string& filePath, const FilePkgInfo& owner)
{
    const auto placed = m_mapFilePathToPkgName.insert_or_assign(filePath, owner);
    if (placed.second) {
        m_fileOwnerIndex.emplace(placed.first->first, &placed.first->second);
    }
}

namespace {

// The directory a packaged path adds to the parent-directory cache: the path
// itself when it is one, else its parent. "" for nothing to add.
std::string cachedDirOf(const std::string& filePath, bool isDirectory)
{
    if (filePath.empty()) {
        return std::string();
    }
    if (isRelocationNotice(filePath)) {
        LOG_INFO("skipped ###### %s", filePath.c_str());
        return std::string();
    }
    if (isDirectory) {
        return filePath;
    }
    const auto slash = filePath.rfind('/');
    return slash == std::string::npos ? filePath : filePath.substr(0, slash);
}

}  // namespace

void VetuRestoreInit::updateParentDirsCache(const std::string& filePath)
{
    updateParentDirsCache(std::vector<std::string>{filePath});
}

void VetuRestoreInit::updateParentDirsCache(const std::vector<std::string>& filePaths)
{
    // The file system is asked before the lock is taken.
    std::vector<char> isDirectory(filePaths.size(), 0);
    for (size_t i = 0; i < filePaths.size(); ++i) {
        struct stat st {};
        isDirectory[i] = stat(filePaths[i].c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    updateParentDirsCache(filePaths, isDirectory);
}

void VetuRestoreInit::updateParentDirsCache(const std::vector<std::string>& filePaths,
                                            const std::vector<char>& isDirectory)
{
    std::vector<std::string> dirs;
    dirs.reserve(filePaths.size());
    for (size_t i = 0; i < filePaths.size(); ++i) {
        dirs.push_back(cachedDirOf(filePaths[i], i < isDirectory.size() && isDirectory[i] != 0));
    }
    std::lock_guard<std::mutex> guard(m_parentDirsMutex);
    for (auto& dir : dirs) {
        while (!dir.empty() && dir != "/") {
            const auto placed = m_cachedParentDirs.insert(dir);
            if (!placed.second) {
                break;  // its ancestors are there already
            }
            m_parentDirIndex.insert(*placed.first);
            m_parentDirsCopy.reset();
            noteDataChange();
            const auto slash = dir.rfind('/');
            if (slash == std::string::npos) {
                break;
            }
            dir = slash == 0 ? "/" : dir.substr(0, slash);
        }
    }
}

bool VetuRestoreInit::validateMappedData()
{
    // Package labelling may add paths while a load checks what it read.
    std::lock_guard<std::mutex> guard(m_filePathMapMutex);
    LOG_INFO("validateMappedData: m_mapFilePathToPkgName size = %zu", m_mapFilePathToPkgName.size());
    for (const auto& entry : m_mapFilePathToPkgName) {
        const std::string& path = entry.first;
        const std::string& pkgName = entry.second.pkgName;
        if (path.empty()) {
            LOG_ERROR("Invalid file path: empty, pkg: %s", pkgName.c_str());
            return false;
        }
        if (contains(path, "没有包含文件")) {
            LOG_WARN("Skipping rpm placeholder path: '%s', pkg: %s", path.c_str(), pkgName.c_str());
            continue;
        }
        if (contains(path, "/../") || path.compare(0, 2, "..") == 0) {
            LOG_ERROR("Invalid file path contains path traversal: %s, pkg: %s", path.c_str(), pkgName.c_str());
            return false;
        }
        if (path[0] != '/') {
            LOG_ERROR("File path must be absolute: '%s', pkg: %s", path.c_str(), pkgName.c_str());
            return false;
        }
        if (pkgName.empty()) {
            LOG_ERROR("Empty package name for path: %s", path.c_str());
            return false;
        }
        for (const char c : pkgName) {
            if (!isPkgNameChar(c)) {
                LOG_ERROR("Invalid character in package name: %s, path: %s", pkgName.c_str(), path.c_str());
                return false;
            }
        }
    }
    return true;
}

int VetuRestoreInit::insertPkgidToMap(const std::string& pkgName, const uint32_t& pkgType)
{
    if (pkgName.empty()) {
        LOG_ERROR("pkgname is empty.");
        return -1;
    }
    if (!isValidPkgType(pkgType)) {
        LOG_ERROR("pkgtype is invalid..");
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(m_pkgMapMutex);
        if (m_mapPkgNameToId.count(pkgName) != 0) {
            return 0;
        }
    }
    // Hashed outside the lock; a name registered meanwhile keeps its entry.
    const uint64_t pkgId = getSM3HashLast64Bits(pkgName);
    if (pkgId == 0) {
        return -1;
    }
    std::lock_guard<std::mutex> guard(m_pkgMapMutex);
    if (m_mapPkgNameToId.emplace(pkgName, PkgIdInfo{pkgId, pkgType}).second) {
        m_mapPkgIdToName[pkgId] = pkgName;
        m_pkgIdsCopy.reset();
        noteDataChange();
        LOG_DEBUG("pkgname: %s, id: 0x%016lx", pkgName.c_str(), pkgId);
    }
    return 0;
}

void VetuRestoreInit::insertFileOfPkgToMap(const std::string& filePath, const std::string& pkgName,
                                           const uint32_t& pkgType)
{
    if (filePath.empty()) {
        LOG_ERROR("file is empty.");
        return;
    }
    insertFilesOfPkgToMap(std::vector<std::string>{filePath}, pkgName, pkgType);
}

void VetuRestoreInit::insertFilesOfPkgToMap(const std::vector<std::string>& filePaths, const std::string& pkgName,
                                            uint32_t pkgType)
{
    if (pkgName.empty()) {
        LOG_ERROR("pkgname is empty.");
        return;
    }
    if (!isValidPkgType(pkgType)) {
        LOG_ERROR("pkgtype is invalid..");
        return;
    }
    std::lock_guard<std::mutex> guard(m_filePathMapMutex);
    m_fileOwnersCopy.reset();
    noteDataChange();
    for (const auto& filePath : filePaths) {
        if (filePath.empty()) {
            LOG_ERROR("file is empty.");
            continue;
        }
        setFileOwner(filePath, FilePkgInfo{pkgName, pkgType});
    }
}

void VetuRestoreInit::addPackageFiles(const std::string& pkgName, uint32_t pkgType,
                                      const std::vector<std::string>& lines)
{
    std::lock_guard<std::mutex> guard(m_filePathMapMutex);
    m_fileOwnersCopy.reset();
    noteDataChange();
    for (const auto& line : lines) {
        // Notices such as "(contains no files)", in any language, are not paths.
        if (line.empty() || line[0] != '/') {
            continue;
        }
        setFileOwner(line, FilePkgInfo{pkgName, pkgType});
    }
}

bool VetuRestoreInit::findPkgId(const std::string& pkgName, uint64_t& pkgId) const
{
    std::lock_guard<std::mutex> guard(m_pkgMapMutex);
    const auto it = m_mapPkgNameToId.find(pkgName);
    if (it == m_mapPkgNameToId.end()) {
        return false;
    }
    pkgId = it->second.pkgId;
    return true;
}

PkgFileData VetuRestoreInit::packageDataSnapshot() const
{
    std::scoped_lock guard(m_pkgMapMutex, m_filePathMapMutex, m_parentDirsMutex);
    return PkgFileData{m_mapPkgNameToId, m_mapPkgIdToName, m_mapFilePathToPkgName, m_cachedParentDirs};
}

void VetuRestoreInit::swapPackageData(PkgFileData& data)
{
    {
        std::lock_guard<std::mutex> guard(m_pkgMapMutex);
        m_mapPkgNameToId.swap(data.pkgNameToId);
        m_mapPkgIdToName.swap(data.pkgIdToName);
        m_pkgIdsCopy.reset();
        noteDataChange();
    }
    {
        std::lock_guard<std::mutex> guard(m_filePathMapMutex);
        m_mapFilePathToPkgName.swap(data.filePathToPkgName);
        reindexFileOwners();
        m_fileOwnersCopy.reset();
        noteDataChange();
    }
    std::lock_guard<std::mutex> guard(m_parentDirsMutex);
    m_cachedParentDirs.swap(data.cachedParentDirs);
    reindexParentDirs();
    m_parentDirsCopy.reset();
    noteDataChange();
}

size_t VetuRestoreInit::packagedPathCount() const
{
    std::lock_guard<std::mutex> guard(m_filePathMapMutex);
    return m_mapFilePathToPkgName.size();
}
