// The policy identity workers: each turns the parameters of one policy type
// into identity data, queuing one task per path (or package) on the
// service's pool, and fills the collection map of its type.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "common/pending_tasks.h"
#include "common/thread_pool.h"
#include "common/vetu_id.h"
#include "restore/inherit_flag_memo.h"
#include "store/vetu_restore_init.h"

class VetuRestoreContext;
class PolicyRecords;

// Policy object types.
constexpr int kObjectFile = 1;
constexpr int kObjectDir = 2;
constexpr int kObjectPkg = 3;
constexpr int kObjectLnkfile = 4;
constexpr int kObjectRecurfile = 5;
constexpr int kSubjectFile = 6;
constexpr int kSubjectDir = 7;
constexpr int kSubjectPkg = 8;
constexpr int kSubjectLnkfile = 9;
constexpr int kSubjectRecurfile = 10;

// The error name of every policy refusal.
constexpr const char kPolicyErrorName[] = "com.ormel.vetu.labelmgr";

// Field name ("pkg_id", "file_id", "path_id") -> value.
using PolicyEntry = std::map<std::string, uint64_t>;
// Entry key (path, pattern, tree or package name) -> its fields.
using CollectionMap = std::map<std::string, PolicyEntry>;

class PolicyWorkers {
public:
    // The tasks of one worker; the future of a parameter is the task of its
    // last match, empty for a pattern without matches.
    struct FileTasks {
        PendingTasks<vetu_id_t> tasks;
        std::vector<std::optional<size_t>> slots;
    };
    using Slot = std::optional<size_t>;

    PolicyWorkers(VetuRestoreInit& store, VetuRestoreContext& context, ThPool& pool)
        : m_store(store), m_context(context), m_pool(pool), m_userTables(store.loadIdentifierTables(false))
    {
    }

    // Each fills map; a wrong type number, a refused path, a task that threw
    // and a pattern without matches raise. Every task a worker queued has
    // ended before it returns or raises.
    void getRecurDirIdentityData(const std::vector<std::string>& params, int number, CollectionMap& map);
    void getPkgsIdentityData(const std::vector<std::string>& params, int number, CollectionMap& map);
    void getFilesIdentityData(const std::vector<std::string>& params, int number, CollectionMap& map);

    // 0 when queued (or a pattern matched nothing), -1 when refused.
    int wildcardPathHandler(const std::string& param, FileTasks& tasks, Slot& slot, bool sid, int number);
    int getFileDataThread(const std::string& path, FileTasks& tasks, Slot& slot, uint64_t pathId, bool sid,
                          int number);
    // getFileDataThread of each path in turn, in one task of the pool.
    int getFileDataThreads(std::vector<std::string> paths, FileTasks& tasks, Slot& slot, uint64_t pathId, bool sid,
                           int number);
    void getThreadResults(FileTasks& tasks, const std::vector<std::string>& params, CollectionMap& map, int number,
                          bool sid);

private:
    VetuRestoreInit& m_store;
    VetuRestoreContext& m_context;
    ThPool& m_pool;
    // Read by every path of the call, which changes none of them.
    const IdentifierTables m_userTables;
    // checkAndHandlePath of path, with the resolved form of its directory
    // taken from this call's earlier answers where the path names an
    // existing entry that is no link; then looked is set and status holds
    // that entry's lstat.
    // A queued path's work: resolved, and labelled by the task of number.
    vetu_id_t labelPolicyPath(const std::string& path, uint64_t pathId, bool sid, int number,
                              PolicyRecords& records);
    std::string resolvePolicyPath(const std::string& path, struct stat& status, bool& looked);

    // One per policy call: the workers are made for each call.
    InheritFlagMemo m_inheritFlags;
    std::shared_mutex m_resolvedDirsMutex;
    std::map<std::string, std::string, std::less<>> m_resolvedDirs;
};
