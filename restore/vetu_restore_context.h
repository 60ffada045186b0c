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

#include "restore/block_queue.h"

class VetuRestoreInit;

// Entry points of the exec-control library (C linkage on its side).
using ExectlXattrSetForInitFunc = int (*)(const char* rootmnt, const char* path);
using ExectlSaveScanlistFunc = int (*)(const char* rootmnt, char** paths, uint32_t count);

class VetuRestoreContext {
public:
    static VetuRestoreContext& getInstance();

    VetuRestoreContext(const VetuRestoreContext&) = delete;
    VetuRestoreContext& operator=(const VetuRestoreContext&) = delete;

    // Full run: every path under root (less the exclusions and the system
    // directories), then "/dev", then everything that has a policy.
    int setLabelToDirRecursive(const std::string& root, std::vector<std::string> exclusions);
    void producerThreadHandler(const std::string& root, std::vector<std::string> exclusions);
    int getFilepathRecursive(const std::string& path, const std::vector<std::string>& exclusions);
    void consumerThreadHandler(BlockQueue<std::string>& queue, int index, const std::string& root);
    void setLabelToFileDirMultiThread(const std::string& path, VetuRestoreInit& store, const std::string& root);

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

    struct WalkBatch;
    int walkDirectory(const std::string& path, const std::vector<std::string>& exclusions, WalkBatch& batch);
    void queueWalkedPath(std::string path, WalkBatch& batch);
    void flushWalkBatch(WalkBatch& batch);
    // Label of a path whose resolved form is already known (lst: its lstat).
    void labelResolvedPath(const std::string& real, const struct stat& lst, VetuRestoreInit& store,
                           const std::string& root);
    void closeExectlSo();

    std::atomic<uint32_t> m_threadFlag{0};
    std::vector<std::string> m_scanList;
    BlockQueue<std::string> m_pathQueue;
    int32_t m_allCacheSize = 0;
    std::mutex m_walkMutex;
    void* m_exectlHandle = nullptr;
    ExectlXattrSetForInitFunc m_exectlXattrSetForInit = nullptr;
    ExectlSaveScanlistFunc m_exectlSaveScanlist = nullptr;
    ExectlSaveScanlistFunc m_exectlSaveScanlistForUpdate = nullptr;
};
