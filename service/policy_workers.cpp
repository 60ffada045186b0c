#include "service/policy_workers.h"

#include <dbus-c++/error.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/dir_traverse.h"
#include "common/file_utils.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/mount_table.h"
#include "common/path_pattern.h"
#include "common/path_utils.h"
#include "common/sm3_hash.h"
#include "restore/vetu_restore_context.h"
#include "service/path_resolution.h"
#include "store/label_defaults.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr uint64_t kAllOnes = ~0ULL;
// Paths go to the pool in runs rather than one task each: queueing a task,
// waking a worker and handing back a future cost more than one label.
constexpr size_t kPathsPerTask = 32;
// Directories above a policy tree pass everything on.
constexpr const char kRule[] = "=================================================================";

}  // namespace

void PolicyWorkers::getRecurDirIdentityData(const std::vector<std::string>& params, int number, CollectionMap& map)
{
    std::vector<std::string> dirs;
    dirs.reserve(params.size());
    for (const auto& param : params) {
        dirs.push_back(translateBindMountPath(normalizePath(param)));
    }
    dirs = expandWildcardPaths(dirs);
    for (const auto& dir : dirs) {
        LOG_INFO("v.string %s", logSafe(dir).c_str());
    }
    if (number != kSubjectRecurfile && number != kObjectRecurfile) {
        throw DBus::Error(kPolicyErrorName, "getRecurDirIdentityData object_type error.");
    }
    const bool sid = number == kSubjectRecurfile;
    for (const auto& dir : dirs) {
        uint64_t pathId = 0;
        if (m_store.getSidPathId(dir, pathId) != 0 || pathId == 0 || pathId == kAllOnes) {
            LOG_ERROR("get dir pathid error: #%d #dir:%s #pathid: %016lx", number, logSafe(dir).c_str(), kAllOnes);
            continue;
        }
        map[dir + "/*"]["path_id"] = pathId;
        setParentDirInheritFlag(dir, kInheritFlagFull);
        std::vector<std::string> walked;
        PolicyLabelHints hints{false, &m_inheritFlags, nullptr, nullptr, &m_userTables};
        if (containsWildcard(dir)) {
            (sid ? m_store.identityDataDirWSpathid : m_store.identityDataDirWOpathid).set(dir, pathId);
            for (const auto& match : searchFilesByPattern(dir)) {
                traverseDirectory(match, walked);
            }
        } else {
            const std::string root = checkAndHandlePath(dir);
            (sid ? m_store.identityDataDirSpathid : m_store.identityDataDirOpathid).set(root, pathId);
            // A root that resolves to itself gives entries that do too.
            hints.resolved = traverseDirectory(root, walked) == 0 && getRealPath(root) == root;
        }
        // Every task is queued before the first is waited for; leaving by an
        // exception still waits for all of them. A task labels a run of
        // paths in order, all of them, and raises the first exception.
        PendingTasks<void> tasks;
        // The walk follows no link below its root, and the task resolves
        // what remains, except a link, which it labels itself: resolving it
        // would carry the tree's identity to wherever it points.
        for (size_t begin = 0; begin < walked.size(); begin += kPathsPerTask) {
            const size_t end = std::min(walked.size(), begin + kPathsPerTask);
            std::vector<std::string> run(std::make_move_iterator(walked.begin() + begin),
                                         std::make_move_iterator(walked.begin() + end));
            tasks.add(m_pool.add([this, run = std::move(run), pathId, sid, hints]() {
                std::exception_ptr first;
                for (const auto& path : run) {
                    try {
                        m_context.getTreeEntryIdAndSetLabel(path, m_store, pathId, sid, hints);
                    } catch (...) {
                        first = first ? first : std::current_exception();
                    }
                }
                if (first) {
                    std::rethrow_exception(first);
                }
            }));
        }
        for (size_t i = 0; i < tasks.size(); ++i) {
            tasks.get(i);
        }
    }
    LOG_INFO("%s", kRule);
    LOG_INFO("getRecurDirIdentityData object_type: %d,", number);
    LOG_INFO("Dir indetity data:");
    for (const auto& entry : map) {
        const auto field = entry.second.find("path_id");
        LOG_INFO("path: %s, pathid: 0x%016lx", logSafe(entry.first).c_str(),
                 field == entry.second.end() ? 0 : field->second);
    }
    LOG_INFO("%s", kRule);
}

void PolicyWorkers::getPkgsIdentityData(const std::vector<std::string>& params, int number, CollectionMap& map)
{
    PendingTasks<uint64_t> tasks;
    for (const auto& name : params) {
        tasks.add(m_pool.add([this, name]() {
            uint64_t pkgId = 0;
            return m_store.getPkgId(name, pkgId) != 0 || pkgId == 0 ? kAllOnes : pkgId;
        }));
    }
    for (size_t i = 0; i < params.size(); ++i) {
        const uint64_t pkgId = tasks.get(i);
        if (pkgId == kAllOnes) {
            LOG_ERROR("error: #%d #pkg:%s #pkgid: %016lx", number, logSafe(params[i]).c_str(), kAllOnes);
            continue;
        }
        map[params[i]]["pkg_id"] = pkgId;
    }
}

void PolicyWorkers::getFilesIdentityData(const std::vector<std::string>& params, int number, CollectionMap& map)
{
    bool sid = false;
    switch (number) {
    case kSubjectFile:
    case kSubjectDir:
    case kSubjectLnkfile:
        sid = true;
        break;
    case kObjectFile:
    case kObjectDir:
    case kObjectLnkfile:
        break;
    default:
        throw DBus::Error(kPolicyErrorName, "getFilesIdentityData object_type error.");
    }
    FileTasks tasks;
    for (const auto& param : params) {
        Slot slot;
        if (wildcardPathHandler(param, tasks, slot, sid, number) == -1) {
            LOG_ERROR("filepath:%s, object_type:%d", logSafe(param).c_str(), number);
            throw DBus::Error(kPolicyErrorName, "getFilesIdentityData path error.");
        }
        tasks.slots.push_back(slot);
    }
    getThreadResults(tasks, params, map, number, sid);
}

int PolicyWorkers::wildcardPathHandler(const std::string& param, FileTasks& tasks, Slot& slot, bool sid, int number)
{
    if (!containsWildcard(param)) {
        return getFileDataThread(param, tasks, slot, 0, sid, number);
    }
    const std::vector<std::string> matches = searchFilesByPattern(param);
    const uint64_t hash = getSM3HashLast64Bits(param);
    LOG_INFO("wildcard filepath: %s, hash: 0x%016lx", logSafe(param).c_str(), hash);
    (sid ? m_store.identityDataFileWildcardSid : m_store.identityDataFileWildcardOid).set(param, {hash, 0, 0});
    int result = 0;
    for (size_t begin = 0; begin < matches.size(); begin += kPathsPerTask) {
        const size_t end = std::min(matches.size(), begin + kPathsPerTask);
        result = getFileDataThreads(std::vector<std::string>(matches.begin() + begin, matches.begin() + end), tasks,
                                    slot, hash, sid, number);
    }
    return result;
}

int PolicyWorkers::getFileDataThread(const std::string& path, FileTasks& tasks, Slot& slot, uint64_t pathId, bool sid,
                                     int number)
{
    return getFileDataThreads({path}, tasks, slot, pathId, sid, number);
}

int PolicyWorkers::getFileDataThreads(std::vector<std::string> paths, FileTasks& tasks, Slot& slot, uint64_t pathId,
                                      bool sid, int number)
{
    // Each path as it would be queued alone: a refused one is not queued,
    // and the last one's answer is the answer.
    int result = 0;
    std::vector<std::string> queued;
    for (auto& path : paths) {
        result = 0;
        if (path.empty()) {
            LOG_ERROR("filepath is empty");
            result = -1;
        } else if (number != kObjectFile && number != kSubjectFile && number != kObjectDir &&
                   number != kSubjectDir && number != kObjectLnkfile && number != kSubjectLnkfile) {
            LOG_ERROR("object type error, %d", number);
            result = -1;
        } else {
            queued.push_back(std::move(path));
        }
    }
    if (queued.empty()) {
        return result;
    }
    // The paths are resolved on the pool, not on this worker thread, so that
    // the matches of a pattern are resolved in parallel. Only the last
    // path's result and exception reach the slot, as if each had its own.
    slot = tasks.tasks.add(m_pool.add([this, queued = std::move(queued), pathId, sid, number]() {
        PolicyRecords records;
        for (size_t i = 0; i + 1 < queued.size(); ++i) {
            try {
                labelPolicyPath(queued[i], pathId, sid, number, records);
            } catch (...) {
            }
        }
        return labelPolicyPath(queued.back(), pathId, sid, number, records);
    }));
    return result;
}

vetu_id_t PolicyWorkers::labelPolicyPath(const std::string& path, uint64_t pathId, bool sid, int number,
                                         PolicyRecords& records)
{
    VetuRestoreContext& context = m_context;
    VetuRestoreInit& store = m_store;
    InheritFlagMemo* memo = &m_inheritFlags;
    const std::string translated = translateBindMountPath(normalizePath(path));
    struct stat status {};
    bool looked = false;
    const std::string canonical = resolvePolicyPath(translated, status, looked);
    // The family resolves no further what was just resolved here.
    const PolicyLabelHints resolved{true, memo, looked ? &status : nullptr, &records, &m_userTables};
    const uint64_t parentPathId =
        VetuRestoreContext::findNearestParentDirHasPolicy(canonical, store, sid ? 1 : 0).second;
    switch (number) {
    case kObjectFile:
    case kSubjectFile:
        return sid ? context.getFileSidAndSetLabel(canonical, store, parentPathId, pathId, false, resolved)
                   : context.getFileOidAndSetLabel(canonical, store, parentPathId, pathId, false, resolved);
    case kObjectDir:
    case kSubjectDir:
        return sid ? context.getDirSidAndSetLabel(canonical, store, parentPathId, pathId, resolved)
                   : context.getDirOidAndSetLabel(canonical, store, parentPathId, pathId, resolved);
    default:
        return sid ? context.getLinkFileSidAndSetLabel(translated, store, parentPathId, pathId,
                                                       {false, memo, nullptr, &records, &m_userTables})
                   : context.getLinkFileOidAndSetLabel(translated, store, parentPathId, pathId,
                                                       {false, memo, nullptr, &records, &m_userTables});
    }
}

std::string PolicyWorkers::resolvePolicyPath(const std::string& path, struct stat& status, bool& looked)
{
    // Resolving an entry that is no link resolves its directory: the
    // directory's answer serves every entry of it.
    const size_t slash = path.rfind('/');
    looked = false;
    if (path.empty() || path[0] != '/' || slash == std::string::npos || slash + 1 == path.size() ||
        path.find("//") != std::string::npos || isDotOrDotDot(path.c_str() + slash + 1) ||
        lstat(path.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) {
        return checkAndHandlePath(path);
    }
    const std::string_view dir = slash == 0 ? std::string_view("/") : std::string_view(path).substr(0, slash);
    const std::string_view name = std::string_view(path).substr(slash + 1);
    std::string resolved;
    {
        std::shared_lock<std::shared_mutex> lock(m_resolvedDirsMutex);
        const auto known = m_resolvedDirs.find(dir);
        if (known != m_resolvedDirs.end()) {
            resolved = known->second;
        }
    }
    if (resolved.empty()) {
        resolved = getRealPath(std::string(dir));
        if (resolved.empty()) {
            return checkAndHandlePath(path);
        }
        std::unique_lock<std::shared_mutex> lock(m_resolvedDirsMutex);
        m_resolvedDirs.emplace(std::string(dir), resolved);
    }
    if (resolved != "/") {
        resolved.push_back('/');
    }
    resolved.append(name);
    looked = true;
    return resolved;
}

void PolicyWorkers::getThreadResults(FileTasks& tasks, const std::vector<std::string>& params, CollectionMap& map,
                                     int number, bool sid)
{
    for (size_t i = 0; i < params.size() && i < tasks.slots.size(); ++i) {
        if (!tasks.slots[i]) {
            throw std::future_error(std::future_errc::no_state);
        }
        const vetu_id_t id = tasks.tasks.get(*tasks.slots[i]);
        if (id.pkg_id == kAllOnes) {
            LOG_ERROR("error: #%d #file:%s #sid: %016lx-%016lx-%016lx", number, logSafe(params[i]).c_str(), id.pkg_id,
                      id.file_id, id.path_id);
            continue;
        }
        vetu_id_t pattern;
        PolicyEntry entry;
        if ((sid ? m_store.identityDataFileWildcardSid : m_store.identityDataFileWildcardOid).get(params[i],
                                                                                                   pattern) == 0) {
            entry = {{"pkg_id", pattern.pkg_id}, {"file_id", 0}, {"path_id", 0}};
        } else {
            entry = {{"pkg_id", 0}, {"file_id", id.file_id}, {"path_id", 0}};
        }
        map[params[i]] = entry;
        LOG_INFO("file %s, pkgid : 0x%016lx fileid: 0x%016lx pathid: 0x%016lx", logSafe(params[i]).c_str(),
                 entry["pkg_id"], entry["file_id"], entry["path_id"]);
    }
}
