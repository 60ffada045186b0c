// A full relabel run: one producer walks the tree and queues every path, one
// consumer per core labels them. Paths cross the queue in batches, and a
// walked path is already in canonical form (its parent is, and it is not a
// link), so the consumers neither resolve it again nor open it: labels are
// read and written with the l*xattr calls.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <log4cpp/Priority.hh>

#include "common/elapsed_time.h"
#include "common/file_utils.h"
#include "common/label_xattr.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_utils.h"
#include "common/paths.h"
#include "restore/vetu_restore_context.h"
#include "store/label_defaults.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr const char kExectlLibrary[] = "libtamro2_exectl.so.0";
constexpr size_t kWalkBatchSize = 256;
constexpr size_t kConsumerBatchSize = 64;
// Walked paths the queue holds before the walk waits for the consumers: a
// run of any size then fits the same memory.
constexpr size_t kQueuedPathLimit = 32 * kWalkBatchSize;
constexpr unsigned kConsumersWhenUnknown = 2;
constexpr auto kReadinessPoll = std::chrono::milliseconds(500);

// Directories a run never enters, by plain prefix of the canonical path.
constexpr const char* kSystemDirs[] = {"/proc", "/backup", "/ostree", "/sys",  "/sysroot",
                                       "/run",  "/dev",    "/data",   "/bin",  "/sbin",
                                       "/lib",  "/lib64",  "/lib32",  "/libx32", "/srv"};

// What setFileLabelToXattr does, with one lsetxattr in place of open, fstat,
// setxattr and close; the caller knows whether path is a link and hands in
// the label's text. Same refusal of a link in mode 1, same messages.
int writeLabel(const std::string& path, std::string_view text, bool isLink, int mode)
{
    if (isLink && mode != kXattrModeLink) {
        LOG_WARN("%s open failed (O_NOFOLLOW), %s", logSafe(path).c_str(), strerror(ELOOP));
        return -1;
    }
    return writeLabelText(path.c_str(), text);
}

// The path's current label attribute, read without following the path.
struct CurrentLabel {
    bool done = false;
    const std::string* path = nullptr;
    LabelXattrRead attr;

    void read(const std::string& from)
    {
        done = true;
        path = &from;
        attr.read(from.c_str());
    }

    // The create_oid of the label read; -1 (logged) when there is none.
    int createOid(vetu_id_t& out) { return attr.parseCreateOid(path->c_str(), &out); }
};

bool isZero(const vetu_id_t& id)
{
    return id.pkg_id == 0 && id.file_id == 0 && id.path_id == 0;
}

// The label of the nearest configured inherit directory at or above path;
// q is scratch space.
bool nearestInheritDirLabel(const std::string& path, const std::map<std::string, LabelContext>& inheritLabels,
                            std::string& q, LabelContext& label)
{
    if (inheritLabels.empty()) {
        return false;
    }
    q = path;
    while (!q.empty()) {
        const auto it = inheritLabels.find(q);
        if (it != inheritLabels.end()) {
            label = it->second;
            return true;
        }
        const size_t slash = q.rfind('/');
        q.resize(slash == std::string::npos ? 0 : slash);
    }
    return false;
}

// User-set identities: the last matching pattern, then an exact entry; else
// only the package identifier.
void applyUserIdentities(const std::string& real, VetuRestoreInit& store, const IdentifierTables& tables,
                         uint64_t pkgId, LabelContext& label)
{
    const struct {
        const IdentifierTables::Table<vetu_id_t>& patterns;
        const IdentifierTables::Table<vetu_id_t>& exact;
        vetu_id_t& id;
        int type;
    } sides[] = {{tables.oidPatterns, tables.oids, label.oid, 0}, {tables.sidPatterns, tables.sids, label.sid, 1}};
    for (const auto& side : sides) {
        side.id = vetu_id_t{};
        for (const auto& pattern : *side.patterns) {
            if (isWildcardMatch(pattern.first, real)) {
                const uint64_t parentPathId =
                    VetuRestoreContext::findNearestParentDirHasPolicy(real, store, side.type).second;
                side.id = {pattern.second.pkg_id, pattern.second.file_id,
                           parentPathId != 0 ? parentPathId : pattern.second.path_id};
            }
        }
        const auto exact = side.exact->find(real);
        if (exact != side.exact->end()) {
            side.id = exact->second;
        } else {
            side.id.pkg_id = pkgId;
        }
    }
}

// The label of a path no inherit directory decides: package, tid and inherit
// flag from the store's tables, the creator oid (else the one the path
// carries), then the user-set identities. False when a query failed (logged).
bool packageLabel(const std::string& real, VetuRestoreInit& store, const IdentifierTables& tables,
                  CurrentLabel& current, LabelContext& label)
{
    uint64_t pkgId = 0;
    uint32_t pkgType = 0;
    if (!store.findFilePkgId(real, pkgId, tables) && !store.queryPreallocatedFilePkgid(real, pkgId, tables) &&
        store.queryFilePkgid(real, pkgId, pkgType, tables) != 0) {
        LOG_ERROR("query file pkgid failed, %s", logSafe(real).c_str());
        return false;
    }
    if (pkgTypeHasFixedTid(pkgType)) {
        label.tid = kFixedTypePkgTid;
    } else if (store.getTid(real, label.tid, tables) != 0) {
        LOG_ERROR("get tid failed, %s", logSafe(real).c_str());
        return false;
    }
    if (store.getDirInheritFlag(real, label.inherit_flag, tables) != 0) {
        LOG_ERROR("get inherit flag failed, %s", logSafe(real).c_str());
        return false;
    }
    if (label.inherit_flag == kUnconfiguredDirInheritFlag && !store.isCachedParentDir(real, tables)) {
        label.inherit_flag = kDefaultLabelInheritFlag;
    }
    if (store.getFileCreatorOid(real, label.create_oid, tables) != 0) {
        LOG_DEBUG("get creator oid failed, %s", logSafe(real).c_str());
    }
    if (isZero(label.create_oid)) {
        if (!current.done) {
            current.read(real);
        }
        if (current.createOid(label.create_oid) != 0) {
            LOG_DEBUG("get creator oid from xattr failed, %s", logSafe(real).c_str());
        }
    }
    applyUserIdentities(real, store, tables, pkgId, label);
    return true;
}

}  // namespace

// What the paths of one batch share: the store's tables as of the batch's
// start, loaded once rather than under locks per path, and the batch's INFO
// lines, logged together after it. A consumer keeps one for all its batches,
// so the lines' and the scratch space's memory is reused.
struct VetuRestoreContext::BatchState {
    BatchState(VetuRestoreInit& store, bool withPackageData) : tables(store.loadIdentifierTables(withPackageData)) {}

    void begin(VetuRestoreInit& store, bool info)
    {
        tables = store.loadIdentifierTables();
        collectInfo = info;
    }

    // An empty line to fill, with the memory of one logged before.
    std::string& newInfoLine()
    {
        if (spareLines.empty()) {
            infoLines.emplace_back();
        } else {
            infoLines.push_back(std::move(spareLines.back()));
            spareLines.pop_back();
            infoLines.back().clear();
        }
        return infoLines.back();
    }

    // After the lines were logged: their memory serves the next batch.
    void recycleInfoLines()
    {
        for (auto& line : infoLines) {
            spareLines.push_back(std::move(line));
        }
        infoLines.clear();
    }

    IdentifierTables tables;
    bool collectInfo = false;
    std::vector<std::string> infoLines;
    std::vector<std::string> spareLines;
    std::string scratch;
};

struct VetuRestoreContext::WalkState {
    std::vector<WalkedPath> batch;
    // Path strings handed back by the consumers, to be filled again.
    std::vector<std::string> spares;
    // Directories on the current chain, by (device, inode): a bind mount of
    // an ancestor inside the tree would otherwise be walked for ever.
    std::set<std::pair<dev_t, ino_t>> chain;
};

int VetuRestoreContext::setLabelToDirRecursive(VetuRestoreInit& store, const std::string& root,
                                               std::vector<std::string> exclusions)
{
    // Runs share the queue, the scan list and the flags: a second one would
    // corrupt the first, so it is refused.
    std::unique_lock<std::mutex> run(m_runMutex, std::try_to_lock);
    if (!run.owns_lock()) {
        LOG_ERROR("relabel run of %s refused: another run is in progress", logSafe(root).c_str());
        return -1;
    }
    const auto start = StepClock::now();
    unsigned numCores = std::thread::hardware_concurrency();
    LOG_INFO("hardware_concurrency numCores %d", static_cast<int>(numCores));
    if (numCores == 0) {
        numCores = kConsumersWhenUnknown;
    }
    // A run starts from a clean state, whatever the previous run left.
    m_scanList.clear();
    m_pathQueue.reset();
    m_pathQueue.setCapacity(kQueuedPathLimit);
    m_threadFlag = 0;
    loadExectlSo(kExectlLibrary);

    // A thread that cannot be started (the process or user at its thread
    // limit) must neither leave the started ones joinable on the way out nor
    // lose the run: its work is done on this thread instead.
    std::thread producer;
    try {
        producer = std::thread(&VetuRestoreContext::producerThreadHandler, this, root, exclusions);
    } catch (const std::system_error& e) {
        LOG_ERROR("start producer thread failed: %s", logSafe(e.what()).c_str());
        // No consumer runs yet to make room: this walk may not wait.
        m_pathQueue.setCapacity(0);
        producerThreadHandler(root, exclusions);
    }
    std::vector<std::thread> consumers;
    for (unsigned i = 0; i < numCores; ++i) {
        try {
            consumers.emplace_back(&VetuRestoreContext::consumerThreadHandler, this, std::ref(store), std::ref(m_pathQueue),
                                   static_cast<int>(i), root);
        } catch (const std::system_error& e) {
            LOG_ERROR("start consumer thread %u failed: %s", i, logSafe(e.what()).c_str());
            break;
        }
    }
    if (consumers.empty()) {
        consumerThreadHandler(store, m_pathQueue, 0, root);
    }
    if (producer.joinable()) {
        producer.join();
    }
    for (auto& consumer : consumers) {
        consumer.join();
    }
    if (m_exectlHandle != nullptr) {
        callExectlfunc(root, m_scanList, false);
    }
    std::vector<std::string>().swap(m_scanList);
    std::vector<std::string>().swap(m_sparePaths);
    restoreFileLabelForHasPolicy(store);
    closeExectlSo();
    LOG_INFO_CATEGORY("cost time: %.4fs", secondsSince(start));
    return 0;
}

void VetuRestoreContext::producerThreadHandler(const std::string& root, std::vector<std::string> exclusions)
{
    try {
        getFilepathRecursive(root, exclusions);
    } catch (const std::exception& e) {
        // The queue must still be finished, or the consumers would wait for ever.
        LOG_ERROR("walk of %s failed: %s", logSafe(root).c_str(), logSafe(e.what()).c_str());
    } catch (...) {
        LOG_ERROR("walk of %s failed: unknown exception", logSafe(root).c_str());
    }
    m_threadFlag = 1;
    {
        std::lock_guard<std::mutex> guard(m_walkMutex);
        if (m_exectlHandle != nullptr) {
            m_scanList.emplace_back(paths::kDevDir);
        }
        m_pathQueue.push(WalkedPath{paths::kDevDir, false});
    }
    m_pathQueue.setFinished();
    LOG_INFO_CATEGORY("producerThreadHandler m_allCacheSize %d", m_allCacheSize);
    ++m_allCacheSize;
}

int VetuRestoreContext::getFilepathRecursive(const std::string& path, const std::vector<std::string>& exclusions)
{
    if (path.empty()) {
        LOG_ERROR("Invalid path parameter");
        return -1;
    }
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (!real) {
        LOG_ERROR("Path canonicalization failed: %s", strerror(errno));
        return -1;
    }
    WalkState walk;
    const int result = getFilepathRecursive(real.get(), exclusions, walk);
    flushWalkBatch(walk);
    return result;
}

int VetuRestoreContext::getFilepathRecursive(const std::string& path, const std::vector<std::string>& exclusions,
                                             WalkState& walk)
{
    for (const auto& excluded : exclusions) {
        // An empty exclusion would be a prefix of everything.
        if (!excluded.empty() && startsWith(path, excluded)) {
            LOG_INFO("Skipped excluded path: %s", logSafe(path).c_str());
            return 0;
        }
    }
    for (const char* system : kSystemDirs) {
        if (startsWith(path, system)) {
            LOG_INFO("Skipped system directory: %s", logSafe(path).c_str());
            return 0;
        }
    }
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::pair<dev_t, ino_t> key{0, 0};
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) == 0) {
            key = {st.st_dev, st.st_ino};
            if (walk.chain.count(key) != 0) {
                LOG_WARN("Directory cycle detected, skipping: %s (inode=%lu)", logSafe(path).c_str(),
                         static_cast<unsigned long>(st.st_ino));
                close(fd);
                return 0;
            }
        }
    }
    queueWalkedPath(path, false, walk);
    if (fd < 0) {
        return 0;  // queued, but its entries cannot be listed
    }
    DIR* stream = fdopendir(fd);
    if (stream == nullptr) {
        close(fd);
        return 0;
    }
    walk.chain.insert(key);
    const std::string prefix = path == "/" ? path : path + "/";
    int result = 0;
    while (true) {
        errno = 0;
        const dirent* entry = readdir(stream);
        if (entry == nullptr) {
            if (errno != 0) {
                LOG_ERROR("Filesystem error: %s", strerror(errno));
                result = -1;
            }
            break;
        }
        if (isDotOrDotDot(entry->d_name)) {
            continue;
        }
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat lst {};
            if (fstatat(dirfd(stream), entry->d_name, &lst, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) {
                    continue;  // gone since the listing
                }
                LOG_ERROR("Filesystem error: %s", strerror(errno));
                result = -1;
                break;
            }
            type = S_ISLNK(lst.st_mode) ? DT_LNK : S_ISDIR(lst.st_mode) ? DT_DIR : DT_REG;
        }
        std::string child = takeSparePath(walk);
        child.assign(prefix).append(entry->d_name);
        if (type == DT_LNK) {
            LOG_DEBUG("Processed symlink: %s", logSafe(child).c_str());
            queueWalkedPath(std::move(child), true, walk);
        } else if (type == DT_DIR) {
            getFilepathRecursive(child, exclusions, walk);
        } else {
            queueWalkedPath(std::move(child), false, walk);
        }
    }
    closedir(stream);
    walk.chain.erase(key);
    return result;
}

std::string VetuRestoreContext::takeSparePath(WalkState& walk)
{
    if (walk.spares.empty()) {
        std::lock_guard<std::mutex> guard(m_spareMutex);
        walk.spares.swap(m_sparePaths);
    }
    if (walk.spares.empty()) {
        return std::string();
    }
    std::string path = std::move(walk.spares.back());
    walk.spares.pop_back();
    return path;
}

void VetuRestoreContext::queueWalkedPath(std::string path, bool isLink, WalkState& walk)
{
    walk.batch.push_back(WalkedPath{std::move(path), isLink});
    if (walk.batch.size() >= kWalkBatchSize) {
        flushWalkBatch(walk);
    }
}

void VetuRestoreContext::flushWalkBatch(WalkState& walk)
{
    if (walk.batch.empty()) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_walkMutex);
    // The scan list is only ever handed to the exec-control library.
    if (m_exectlHandle != nullptr) {
        for (const auto& walked : walk.batch) {
            m_scanList.push_back(walked.path);
        }
    }
    m_allCacheSize += static_cast<int32_t>(walk.batch.size());
    m_pathQueue.pushBatch(walk.batch);
}

void VetuRestoreContext::consumerThreadHandler(VetuRestoreInit& store, BlockQueue<WalkedPath>& queue, int index,
                                               const std::string& root)
{
    const auto start = StepClock::now();
    LOG_INFO_CATEGORY("consumerThreadHandler %d begin..", index);
    int count = 0;
    std::vector<WalkedPath> batch;
    std::unique_ptr<BatchState> state;
    bool drained = false;
    while (true) {
        while (!store.m_isInitialized.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(kReadinessPoll);
        }
        // Only a finished queue is over: the producer sets the flag before
        // it queues its last path.
        if (m_threadFlag == 1 && queue.isFinishedAndEmpty()) {
            break;
        }
        if (!queue.popBatch(batch, kConsumerBatchSize)) {
            drained = true;
            break;
        }
        if (!state) {
            state = std::make_unique<BatchState>(store, true);
        }
        setLabelToFileDirMultiThread(batch, store, root, *state);
        count += static_cast<int>(batch.size());
        std::lock_guard<std::mutex> guard(m_spareMutex);
        for (auto& walked : batch) {
            m_sparePaths.push_back(std::move(walked.path));
        }
    }
    if (drained) {
        LOG_INFO_CATEGORY("Blocking thread exiting %d", index);
    }
    LOG_INFO_CATEGORY("thread %d cost time %.4fs", index, secondsSince(start));
    LOG_INFO_CATEGORY("thread %d end, m_threadFlag:%d count:%d", index, static_cast<int>(m_threadFlag.load()), count);
}

void VetuRestoreContext::setLabelToFileDirMultiThread(const std::string& path, VetuRestoreInit& store,
                                                      const std::string& root)
{
    BatchState alone(store, false);
    setLabelToFileDirMultiThread(path, store, root, nullptr, alone);
}

void VetuRestoreContext::setLabelToFileDirMultiThread(const std::vector<WalkedPath>& batch, VetuRestoreInit& store,
                                                      const std::string& root, BatchState& state)
{
    state.begin(store, Logger::getInstance()->isEnabled(log4cpp::Priority::INFO));
    for (const auto& walked : batch) {
        try {
            setLabelToFileDirMultiThread(walked.path, store, root, &walked, state);
        } catch (const std::exception& e) {
            // One path that cannot be labelled never ends the run.
            LOG_ERROR("label %s failed: %s", logSafe(walked.path).c_str(), logSafe(e.what()).c_str());
        } catch (...) {
            LOG_ERROR("label %s failed: unknown exception", logSafe(walked.path).c_str());
        }
    }
    LOG_INFO_LINES(state.infoLines);
    state.recycleInfoLines();
}

void VetuRestoreContext::setLabelToFileDirMultiThread(const std::string& path, VetuRestoreInit& store,
                                                      const std::string& root, const WalkedPath* walked,
                                                      BatchState& batch)
{
    if (path.empty()) {
        LOG_ERROR("filepath is empty.");
        return;
    }
    // The current label, read up front only where that read also answers
    // whether the path exists (a walked path that is not a link).
    CurrentLabel current;
    bool exists = false;
    bool isLink = false;
    if (walked == nullptr) {
        struct stat lst {};
        exists = lstat(path.c_str(), &lst) == 0;
        isLink = exists && S_ISLNK(lst.st_mode);
    } else if (walked->isLink) {
        isLink = true;
        exists = true;
    } else {
        current.read(path);
        exists = current.attr.err != ENOENT && current.attr.err != ENOTDIR;
    }
    // A dangling link does not exist for this purpose either.
    if (!exists || (isLink && fileExists(path.c_str()) != 0)) {
        LOG_DEBUG("file is not exists, %s", logSafe(path).c_str());
        return;
    }
    const int mode = isLink ? kXattrModeLink : kXattrModeFile;
    // A walked path is its own resolved form.
    std::string resolved;
    if (walked == nullptr) {
        resolved = isLink ? getLinkRealPath(path) : getRealPath(path);
        if (resolved.empty()) {
            return;  // logged by the resolver
        }
    }
    const std::string& real = walked == nullptr ? resolved : path;

    // The nearest configured inherit directory decides; where its label
    // cannot be written (a link), the path's own label is.
    char text[kLabelTextLength];
    const std::string_view textView(text, sizeof(text));
    LabelContext inherited;
    bool labelled = false;
    if (nearestInheritDirLabel(real, *batch.tables.inheritDirLabels, batch.scratch, inherited)) {
        formatContext(inherited, text);
        labelled = writeLabel(real, textView, isLink, kXattrModeFile) == 0;
    }
    LabelContext label;
    if (!labelled && packageLabel(real, store, batch.tables, current, label)) {
        formatContext(label, text);
        if (writeLabel(real, textView, isLink, mode) != 0) {
            LOG_WARN("set file label to xattr failed, %s", logSafe(real).c_str());
        }
        // The attribute text is the label in its logged order already;
        // formatting it once keeps the work out of the logger's lock.
        if (batch.collectInfo) {
            static constexpr std::string_view kInfoStart = "set label to file, ";
            static constexpr std::string_view kInfoArrow = "-> ";
            std::string& line = batch.newInfoLine();
            line.reserve(kInfoStart.size() + real.size() + kInfoArrow.size() + textView.size());
            line.append(kInfoStart).append(logSafe(real).c_str()).append(kInfoArrow).append(textView);
        } else if (Logger::getInstance()->isEnabled(log4cpp::Priority::INFO)) {
            LOG_INFO("set label to file, %s-> %.*s", logSafe(real).c_str(), static_cast<int>(textView.size()), text);
        }
    }
    if (m_exectlHandle != nullptr && m_exectlXattrSetForInit != nullptr) {
        m_exectlXattrSetForInit(root.c_str(), real.c_str());
    }
}
