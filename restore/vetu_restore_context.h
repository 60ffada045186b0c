// The process-wide restore context: writes labels onto whole trees with one
// producer and one consumer per core, relabels what has a policy, computes
// the label of new files, and tells the exec-control library what it labelled.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/label_context.h"
#include "common/vetu_id.h"
#include "restore/block_queue.h"

class VetuRestoreInit;

// A path of a relabel run's walk. The walk's listing already says whether it
// is a link, so the consumer need not ask the file system again.
struct WalkedPath {
    std::string path;
    bool isLink = false;
};

// Entry points of the exec-control library (C linkage on its side).
using ExectlXattrSetForInitFunc = int (*)(const char* rootmnt, const char* path);
using ExectlSaveScanlistFunc = int (*)(const char* rootmnt, char** paths, uint32_t count);

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
    int setLabelToDirRecursive(const std::string& root, std::vector<std::string> exclusions);
    void producerThreadHandler(const std::string& root, std::vector<std::string> exclusions);
    int getFilepathRecursive(const std::string& path, const std::vector<std::string>& exclusions);
    void consumerThreadHandler(BlockQueue<WalkedPath>& queue, int index, const std::string& root);
    void setLabelToFileDirMultiThread(const std::string& path, VetuRestoreInit& store, const std::string& root);

    // Label computation; identifier type 1 searches the sid maps, 0 the oid maps.
    // infoLines: where the label's INFO line goes instead of the log, for a
    // caller that logs many at once.
    static int getNewCreateFileLabel(std::string path, VetuRestoreInit& store, std::string& label,
                                     std::vector<std::string>* infoLines = nullptr);
    static int restoreFileLabel(const std::string& path, VetuRestoreInit& store);
    static PathPolicy findNearestParentDirHasPolicy(const std::string& path, VetuRestoreInit& store, int type);
    static PathPolicy findWildcardPathid(const std::string& path, int type);

    static int restoreFileLabelForHasPolicy(VetuRestoreInit& store);
    static int restoreDirLabel(const std::string& dir, VetuRestoreInit& store, int depth);

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
    void queueWalkedPath(std::string path, bool isLink, WalkState& walk);
    void flushWalkBatch(WalkState& walk);
    struct BatchState;
    // A batch of walked paths; the lines logged per path are written after
    // the batch, so a consumer takes the logger's lock in one run.
    void setLabelToFileDirMultiThread(const std::vector<WalkedPath>& batch, VetuRestoreInit& store,
                                      const std::string& root);
    // walked: the path comes from this run's walk, so it is its own resolved
    // form. batch: the store tables and INFO lines of the batch the path is
    // in; null for a path on its own.
    void setLabelToFileDirMultiThread(const std::string& path, VetuRestoreInit& store, const std::string& root,
                                      const WalkedPath* walked, BatchState* batch);
    void closeExectlSo();

    std::atomic<uint32_t> m_threadFlag{0};
    std::vector<std::string> m_scanList;  // filled only while the library is loaded
    BlockQueue<WalkedPath> m_pathQueue;
    int32_t m_allCacheSize = 0;
    std::mutex m_walkMutex;
    std::mutex m_runMutex;  // held for the whole of a full run
    void* m_exectlHandle = nullptr;
    ExectlXattrSetForInitFunc m_exectlXattrSetForInit = nullptr;
    ExectlSaveScanlistFunc m_exectlSaveScanlist = nullptr;
    ExectlSaveScanlistFunc m_exectlSaveScanlistForUpdate = nullptr;
};

// Sets the inherit flag on the nearest existing directory at or above path
// (on every directory of every match for a pattern); 0 when at least one
// carries it afterwards.
int setParentDirInheritFlag(const std::string& path, uint32_t flag);
// No identity record is kept per path: always ("", all-zero triple).
std::pair<std::string, vetu_id_t> lookupIdentityRecord(const std::string& path);
