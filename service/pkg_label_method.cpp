// Package labelling: a package tool announces a package and its files; they
// are recorded, the package data persisted, and every file labelled as a new
// file of that package on the service's pool.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <log4cpp/Priority.hh>

#include "common/label_xattr.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_safety.h"
#include "restore/vetu_restore_context.h"
#include "service/request_frame.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr std::size_t kMaxPkgFiles = 50000;
constexpr std::size_t kMaxPkgNameBytes = 512;
// Files per pool task: enough to make a task's queueing cheap against its
// work, few enough that every worker gets a share of a small package.
constexpr std::size_t kFilesPerTask = 64;

const char* checkPkgArguments(const std::vector<std::string>& fileList, const std::string& pkgName,
                              uint32_t pkgType)
{
    if (fileList.empty() || pkgName.empty()) {
        return "filelist or pkgname empty";
    }
    if (fileList.size() > kMaxPkgFiles) {
        return "filelist too large";
    }
    if (pkgName.size() > kMaxPkgNameBytes) {
        return "pkgname too long";
    }
    if (pkgType < kPkgTypeRpm || pkgType > kPkgTypeMax) {
        return "pkg type invalid";
    }
    return nullptr;
}

std::vector<std::string> safePaths(const std::vector<std::string>& fileList, const std::string& pkgName)
{
    const bool allowSymlink = true;
    const bool allowWildcard = true;
    const bool allowMissing = true;
    std::vector<std::string> safe;
    safe.reserve(fileList.size());
    for (const auto& path : fileList) {
        if (isFilePathSafe(path, allowSymlink, allowWildcard, allowMissing)) {
            safe.push_back(path);
        } else {
            LOG_WARN("Skipping unsafe file path for pkg %s: %s", logSafe(pkgName).c_str(), logSafe(path).c_str());
        }
    }
    return safe;
}

// The label tables for a package's files just recorded: the store's tables
// as loaded once per change, with the package questions answered for these
// paths alone, so that no task takes a store lock per path. Its owner and
// identifier tables hold that package alone (a copy of all package data
// would cost each call as much as the whole store holds), its parent
// directories those of the paths that the cache holds, the only ones a
// path's label asks about.
NewFileLabelTables packageLabelTables(VetuRestoreInit& store, const std::vector<std::string>& files,
                                      const std::string& pkgName, uint32_t pkgType)
{
    const bool withPackageData = false;
    NewFileLabelTables tables = *VetuRestoreContext::sharedNewFileLabelTables(store, withPackageData);
    uint64_t pkgId = 0;
    if (!store.findPkgId(pkgName, pkgId)) {
        return tables;  // the live maps answer
    }
    auto owners = std::make_shared<std::map<std::string, FilePkgInfo>>();
    auto parentDirs = std::make_shared<std::unordered_set<std::string>>();
    for (const auto& path : files) {
        owners->insert_or_assign(path, FilePkgInfo{pkgName, pkgType});
        if (store.isCachedParentDir(path)) {
            // Held as the cache holds it: without a final '/'.
            parentDirs->insert(path.back() == '/' ? path.substr(0, path.size() - 1) : path);
        }
    }
    tables.store.fileOwners = std::move(owners);
    tables.store.parentDirs = std::move(parentDirs);
    auto pkgIds = std::make_shared<std::map<std::string, PkgIdInfo>>();
    pkgIds->emplace(pkgName, PkgIdInfo{pkgId, pkgType});
    tables.store.pkgIds = std::move(pkgIds);
    return tables;
}

// Runs fn(begin, end) over [0, count) in ranges on the pool. Every queued
// task is waited for before this returns, whatever fails, since each reads
// the caller's data.
template <typename Fn>
void runInRanges(ThPool& pool, std::size_t count, Fn&& fn, std::size_t perTask = kFilesPerTask)
{
    std::vector<std::future<void>> tasks;
    std::exception_ptr failure;
    for (std::size_t begin = 0; begin < count; begin += perTask) {
        try {
            tasks.push_back(pool.add(std::ref(fn), begin, std::min(count, begin + perTask)));
        } catch (...) {
            failure = std::current_exception();
            break;
        }
    }
    for (auto& task : tasks) {
        try {
            task.get();
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// A directory holding this many of the paths is listed once: the types of
// its entries answer for all of them.
constexpr std::size_t kPathsPerListing = 16;
constexpr std::size_t kListingsPerTask = 4;

struct ListedDirectory {
    std::string path;
    std::vector<std::size_t> entries;  // indexes of the paths directly in it
};

// Sets isDirectory for the entries the listing shows as directories;
// entries shown as links, or without a type, are left to stat (which follows
// links); an entry that is not listed does not exist, as stat would find.
void typesFromListing(const ListedDirectory& dir, const std::vector<std::string>& files,
                      std::vector<char>& isDirectory, std::vector<char>& needsStat)
{
    std::unordered_map<std::string_view, std::size_t> byName;
    for (const std::size_t i : dir.entries) {
        byName.emplace(std::string_view(files[i]).substr(files[i].rfind('/') + 1), i);
    }
    DIR* listing = opendir(dir.path.empty() ? "/" : dir.path.c_str());
    if (listing == nullptr) {
        for (const std::size_t i : dir.entries) {
            needsStat[i] = 1;
        }
        return;
    }
    std::size_t left = byName.size();
    while (left > 0) {
        const dirent* entry = readdir(listing);
        if (entry == nullptr) {
            break;
        }
        const auto found = byName.find(entry->d_name);
        if (found == byName.end()) {
            continue;
        }
        --left;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            needsStat[found->second] = 1;
        } else {
            isDirectory[found->second] = entry->d_type == DT_DIR;
        }
    }
    closedir(listing);
}

// Which of the paths are directories (links followed), as a stat of each
// would say: for many paths in one directory, read from its listing; not
// asked for a path other listed paths lie directly under, which adds the
// same directories to the parent-directory cache whatever it is. On the
// pool, since a serial walk of a large package's paths costs more than all
// the rest of its record.
std::vector<char> directoryFlags(ThPool& pool, const std::vector<std::string>& files)
{
    std::vector<char> isDirectory(files.size(), 0);
    std::vector<char> needsStat(files.size(), 0);
    std::unordered_map<std::string_view, std::vector<std::size_t>> byParent;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i];
        const std::size_t slash = path.rfind('/');
        if (path.back() == '/' || slash == std::string::npos) {
            needsStat[i] = 1;
        } else {
            byParent[std::string_view(path).substr(0, slash)].push_back(i);
        }
    }
    std::vector<ListedDirectory> listed;
    for (auto& parent : byParent) {
        if (parent.second.size() >= kPathsPerListing) {
            listed.push_back(ListedDirectory{std::string(parent.first), std::move(parent.second)});
            continue;
        }
        for (const std::size_t i : parent.second) {
            needsStat[i] = byParent.count(files[i]) == 0;
        }
    }
    runInRanges(pool, listed.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t d = begin; d < end; ++d) {
            typesFromListing(listed[d], files, isDirectory, needsStat);
        }
    }, kListingsPerTask);
    std::vector<std::size_t> statted;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (needsStat[i] != 0) {
            statted.push_back(i);
        }
    }
    runInRanges(pool, statted.size(), [&files, &statted, &isDirectory](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            struct stat st {};
            const std::size_t i = statted[k];
            isDirectory[i] = stat(files[i].c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
    });
    return isDirectory;
}

}  // namespace

int32_t ContextMgrService::setLabelForPkg(const std::vector<std::string>& fileList, const std::string& pkgName,
                                          const uint32_t& pkgType, const std::string& sender)
{
    std::vector<std::string> files;
    return runRequest<Method::setLabelForPkg>(
        sender,
        [&]() -> const char* {
            if (const char* invalid = checkPkgArguments(fileList, pkgName, pkgType)) {
                return invalid;
            }
            files = safePaths(fileList, pkgName);
            return files.empty() ? "no safe files in filelist" : nullptr;
        },
        [&] {
            // Until the start-up build ends, the package containers may still be
            // replaced by what it loads or imports, and a store would sign a
            // half-done import as the whole: the package is recorded, persisted
            // and labelled once the build is over.
            if (!m_store.m_isInitialized.load(std::memory_order_acquire)) {
                LOG_INFO("setLabelForPkg: pkg %s waits for the data store to be ready", logSafe(pkgName).c_str());
                if (!waitUntilReady()) {
                    return int32_t(-1);
                }
            }
            if (m_store.insertPkgidToMap(pkgName, pkgType) == -1) {
                LOG_ERROR("insert pkgid to map failed, %s, pkg type %d", logSafe(pkgName).c_str(),
                          static_cast<int>(pkgType));
                return int32_t(-1);
            }
            m_store.insertFilesOfPkgToMap(files, pkgName, pkgType);
            m_store.updateParentDirsCache(files, directoryFlags(m_threadPool, files));
            if (m_store.storePkgAndFileData() != 0) {
                LOG_ERROR("Failed to store package and file data");
            }
            labelPkgFiles(files, pkgName, pkgType);
            return int32_t(0);
        });
}

void ContextMgrService::labelPkgFiles(const std::vector<std::string>& files, const std::string& pkgName,
                                      uint32_t pkgType)
{
    VetuRestoreInit& store = m_store;
    // Loaded once, after the package is recorded: every task reads the same
    // tables without a lock per query.
    const NewFileLabelTables tables = packageLabelTables(store, files, pkgName, pkgType);
    // A range's label lines reach the log in one write, not one lock each.
    const bool collectInfo = Logger::getInstance()->isEnabled(log4cpp::Priority::INFO);
    auto labelRange = [&files, &pkgName, pkgType, &store, &tables, collectInfo](std::size_t begin, std::size_t end) {
        std::string label;
        std::vector<std::string> infoLines;
        for (std::size_t i = begin; i < end; ++i) {
            const std::string& path = files[i];
            std::vector<std::string>* lines = collectInfo ? &infoLines : nullptr;
            if (VetuRestoreContext::getNewCreateFileLabel(path, store, tables, label, lines) == -1) {
                LOG_ERROR("get new create file label failed %s, pkg %s, pkg type %d", logSafe(path).c_str(),
                          logSafe(pkgName).c_str(), static_cast<int>(pkgType));
                continue;
            }
            // On the path itself: one that became a link since its check is
            // labelled as the link, never followed.
            if (lsetxattr(path.c_str(), kLabelXattrName, label.data(), label.size(), 0) != 0) {
                LOG_ERROR("set file label for pkg(%s): pkg type %d, %s setxattr error, %s", logSafe(pkgName).c_str(),
                          static_cast<int>(pkgType), logSafe(path).c_str(), strerror(errno));
            }
        }
        LOG_INFO_LINES(infoLines);
    };
    runInRanges(m_threadPool, files.size(), labelRange);
}
