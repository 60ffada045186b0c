// The process-wide restore context: writes labels onto whole trees with one
// producer and one consumer per core, relabels what has a policy, computes
// the label of new files, and tells the exec-control library what it labelled.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/label_context.h"
#include "common/vetu_id.h"
#include "restore/block_queue.h"
#include "store/pattern_match.h"
#include "store/vetu_restore_init.h"

class VetuRestoreInit;
class InheritFlagMemo;
class PolicyRecords;

// How a policy call hands a path to the policy label family. resolved: the
// path is its own resolved form already (the call resolved it, or a walk
// from a resolved root that follows no link produced it), so it is not
// resolved again. memo: the inherit flags of the call's directories.
// status: with resolved, the path's lstat, taken by the caller just before,
// so that the family need not look at the path again.
struct PolicyLabelHints {
    bool resolved = false;
    InheritFlagMemo* memo = nullptr;
    const struct stat* status = nullptr;
    // Where the entries go instead of straight into the store, if anywhere.
    PolicyRecords* records = nullptr;
    // The user-set tid and inherit-flag tables as the call found them (no
    // policy call changes them), so that a path takes none of their locks.
    const IdentifierTables* userTables = nullptr;
};

// The store entries of a run of policy paths, recorded together when the run
// ends (also by an exception): one taking of a map's lock per run rather
// than one per path, which the pool's workers would queue for.
class PolicyRecords {
public:
    using Map = SyncMap<std::string, vetu_id_t>;

    PolicyRecords() = default;
    ~PolicyRecords();
    PolicyRecords(const PolicyRecords&) = delete;
    PolicyRecords& operator=(const PolicyRecords&) = delete;

    void add(Map& map, const std::string& path, const vetu_id_t& id);
    // Records what was added, in order.
    void flush();

private:
    Map* m_map = nullptr;
    std::vector<std::pair<std::string, vetu_id_t>> m_entries;
};

// A path of a relabel run's walk. The walk's listing already says whether it
// is a link, so the consumer need not ask the file system again.
struct WalkedPath {
    std::string path;
    bool isLink = false;
};

// Entry points of the exec-control library (C linkage on its side).
using ExectlXattrSetForInitFunc = int (*)(const char* rootmnt, const char* path);
using ExectlSaveScanlistFunc = int (*)(const char* rootmnt, char** paths, uint32_t count);

// What a new file's label is computed from, as it stands at one moment: a
// caller labelling many paths loads it once and reads it without a lock per
// query. Filled by VetuRestoreContext::loadNewFileLabelTables.
struct NewFileLabelTables {
    IdentifierTables store;
    IdentifierTables::Table<uint64_t> oidPathIds;
    pattern_match::PatternIndex<uint64_t> oidPathIdPatterns;
    IdentifierTables::Table<uint64_t> sidPathIds;
    pattern_match::PatternIndex<uint64_t> sidPathIdPatterns;
    IdentifierTables::Table<vetu_id_t> linkOids;
    IdentifierTables::Table<vetu_id_t> dirOids;
    IdentifierTables::Table<vetu_id_t> fileOids;
    IdentifierTables::Table<vetu_id_t> linkSids;
    IdentifierTables::Table<vetu_id_t> dirSids;
    IdentifierTables::Table<vetu_id_t> fileSids;
    pattern_match::PatternIndex<vetu_id_t> wildcardOids;
    pattern_match::PatternIndex<vetu_id_t> wildcardSids;
    std::shared_ptr<const PathIdentityIndex> identityIndex;
};

class VetuRestoreContext {
public:
    // A directory with a policy path identifier and that identifier; ("", 0)
    // when there is none.
    using PathPolicy = std::pair<std::string, uint64_t>;

    static VetuRestoreContext& getInstance();

    VetuRestoreContext(const VetuRestoreContext&) = delete;
    VetuRestoreContext& operator=(const VetuRestoreContext&) = delete;

    // Full run: every path under root (less the exclusions and the system
    // directories), then "/dev", then everything that has a policy. -1 when
    // another run is in progress.
    int setLabelToDirRecursive(VetuRestoreInit& store, const std::string& root, std::vector<std::string> exclusions);
    void producerThreadHandler(const std::string& root, std::vector<std::string> exclusions);
    int getFilepathRecursive(const std::string& path, const std::vector<std::string>& exclusions);
    void consumerThreadHandler(VetuRestoreInit& store, BlockQueue<WalkedPath>& queue, int index,
                               const std::string& root);
    void setLabelToFileDirMultiThread(const std::string& path, VetuRestoreInit& store, const std::string& root);

    // Label computation; identifier type 1 searches the sid maps, 0 the oid maps.
    // infoLines: where the label's INFO line goes instead of the log, for a
    // caller that logs many at once.
    static int getNewCreateFileLabel(std::string path, VetuRestoreInit& store, std::string& label,
                                     std::vector<std::string>* infoLines = nullptr);
    // The same labels and log lines, from tables loaded before. Without
    // package data, those questions go to the live maps.
    static NewFileLabelTables loadNewFileLabelTables(VetuRestoreInit& store, bool withPackageData = true);
    // The same tables, loaded once per change of the store's tables and
    // shared by every caller until the next change.
    static std::shared_ptr<const NewFileLabelTables> sharedNewFileLabelTables(VetuRestoreInit& store,
                                                                             bool withPackageData = true);
    static int getNewCreateFileLabel(const std::string& path, VetuRestoreInit& store,
                                     const NewFileLabelTables& tables, std::string& label,
                                     std::vector<std::string>* infoLines = nullptr);
    static int restoreFileLabel(const std::string& path, VetuRestoreInit& store);
    static PathPolicy findNearestParentDirHasPolicy(const std::string& path, VetuRestoreInit& store, int type);
    static PathPolicy findWildcardPathid(const std::string& path, VetuRestoreInit& store, int type);

    static int restoreFileLabelForHasPolicy(VetuRestoreInit& store);
    // The executable or script a process runs, from the kernel's path
    // attribute, as the program sees it; "" when there is none.
    static std::string getProcessExecutableOrScriptPath(int32_t pid);
    static int restoreDirLabel(const std::string& dir, VetuRestoreInit& store, int depth);

    // Gives every running process whose executable has an entry in exeToSid
    // that identity as its original sid, and as its current sid where it runs
    // under its own original sid or heads an inheriting chain.
    void updateProcessAttr(const std::map<std::string, vetu_id_t>& exeToSid);

    // Identity of one policy path written into its label and recorded in the
    // store map of the member; the failure value has every bit set. pathId
    // (when not 0) becomes the identity's path_id, pkgId (when not 0) the
    // written part's pkg_id; noRecord leaves the store as it is.
    vetu_id_t getFileOidAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId,
                                    uint64_t pkgId, bool noRecord, const PolicyLabelHints& hints = {});
    vetu_id_t getFileSidAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId,
                                    uint64_t pkgId, bool noRecord, const PolicyLabelHints& hints = {});
    vetu_id_t getDirOidAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId, uint64_t pkgId,
                                   const PolicyLabelHints& hints = {});
    vetu_id_t getDirSidAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId, uint64_t pkgId,
                                   const PolicyLabelHints& hints = {});
    vetu_id_t getLinkFileOidAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId,
                                        uint64_t pkgId, const PolicyLabelHints& hints = {});
    vetu_id_t getLinkFileSidAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId,
                                        uint64_t pkgId, const PolicyLabelHints& hints = {});
    // An entry of a policy tree: a symbolic link is labelled itself, so the
    // tree's identity never reaches a target outside the tree; anything else
    // as the file members do. Never recorded in the store.
    vetu_id_t getTreeEntryIdAndSetLabel(const std::string& path, VetuRestoreInit& store, uint64_t pathId, bool sid,
                                        const PolicyLabelHints& hints = {});

    // 1 once a policy label could not be written on a read-only file system
    // for a path the store has no entry for.
    uint32_t labelStatus() const { return m_labelStatus.load(); }

    // Exec-control library hook.
    int loadExectlSo(const std::string& soName);
    int callExectlfunc(const std::string& rootmnt, const std::vector<std::string>& paths, bool forUpdate);
    // Default label on dir and everything below it on the same device.
    int setDefalutLabelRecursive(const std::string& dir);

private:
    VetuRestoreContext() = default;
    ~VetuRestoreContext();

    struct WalkState;
    // One directory of the walk; path is canonical already.
    int getFilepathRecursive(const std::string& path, const std::vector<std::string>& exclusions, WalkState& walk);
    // A string for the next walked path, with the memory of one a consumer
    // is done with where there is one.
    std::string takeSparePath(WalkState& walk);
    void queueWalkedPath(std::string path, bool isLink, WalkState& walk);
    void flushWalkBatch(WalkState& walk);
    struct BatchState;
    // A batch of walked paths; the lines logged per path are written after
    // the batch, so a consumer takes the logger's lock in one run.
    void setLabelToFileDirMultiThread(const std::vector<WalkedPath>& batch, VetuRestoreInit& store,
                                      const std::string& root, BatchState& state);
    // walked: the path comes from this run's walk, so it is its own resolved
    // form. batch: the store tables and INFO lines of the batch the path is
    // in, or of the path alone.
    void setLabelToFileDirMultiThread(const std::string& path, VetuRestoreInit& store, const std::string& root,
                                      const WalkedPath* walked, BatchState& batch);
    void closeExectlSo();
    struct PolicyLabelMember;
    vetu_id_t setPolicyLabel(const PolicyLabelMember& member, const std::string& path, VetuRestoreInit& store,
                             uint64_t pathId, uint64_t pkgId, bool noRecord, const PolicyLabelHints& hints);

    std::atomic<uint32_t> m_threadFlag{0};
    std::vector<std::string> m_scanList;  // filled only while the library is loaded
    BlockQueue<WalkedPath> m_pathQueue;
    int32_t m_allCacheSize = 0;
    std::mutex m_walkMutex;
    // Path strings the consumers are done with: once a run is under way the
    // walk fills these instead of allocating a string per path.
    std::mutex m_spareMutex;
    std::vector<std::string> m_sparePaths;
    std::mutex m_runMutex;  // held for the whole of a full run
    void* m_exectlHandle = nullptr;
    ExectlXattrSetForInitFunc m_exectlXattrSetForInit = nullptr;
    ExectlSaveScanlistFunc m_exectlSaveScanlist = nullptr;
    ExectlSaveScanlistFunc m_exectlSaveScanlistForUpdate = nullptr;
    std::atomic<uint32_t> m_labelStatus{0};
};

// Every bit set: a family member that could not give an identity.
constexpr vetu_id_t kFailedIdentity{~0ULL, ~0ULL, ~0ULL};

// Sets the inherit flag on the nearest existing directory at or above path
// (on every directory of every match for a pattern); 0 when at least one
// carries it afterwards.
int setParentDirInheritFlag(const std::string& path, uint32_t flag);
// No identity record is kept per path: always ("", all-zero triple).
std::pair<std::string, vetu_id_t> lookupIdentityRecord(const std::string& path);
