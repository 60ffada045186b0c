// Relabels of what the store's policy maps name, and of one directory tree.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "common/dir_traverse.h"
#include "common/file_utils.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_pattern.h"
#include "restore/vetu_restore_context.h"
#include "store/label_defaults.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr int kMaxRestoreDepth = 40;

// A key naming a directory through a link stands for the tree below it, as
// the walk takes a link given as its root.
bool isLinkToDirectory(const std::string& path, const struct stat& lst)
{
    struct stat st {};
    return S_ISLNK(lst.st_mode) && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// One pass over the policy maps; a path is labelled at most once.
class PolicyPass {
public:
    explicit PolicyPass(VetuRestoreInit& store) : m_store(store) {}

    // A directory key (or a pattern match): the nearest directory passes
    // everything on, then the directory and its whole tree are labelled.
    void labelTree(const std::string& dir)
    {
        setParentDirInheritFlag(dir, kInheritFlagFull);
        std::vector<std::string> tree;
        struct stat st {};
        if (lstat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && !isLinkToDirectory(dir, st)) {
            // A file that a file pattern matched: it is its own whole tree.
            tree.push_back(dir);
        } else {
            traverseDirectory(dir, tree);
        }
        for (const auto& path : tree) {
            labelOnce(path);
        }
    }

    void labelPatternTrees(const std::string& pattern)
    {
        for (const auto& match : searchFilesByPattern(pattern)) {
            labelTree(match);
        }
    }

    // A path key.
    void labelPath(const std::string& path)
    {
        if (m_done.count(path) == 0) {
            setParentDirInheritFlag(path, kInheritFlagFull);
            labelOnce(path);
        }
    }

    template <typename Map, typename Step>
    void forEachKey(const Map& map, Step step)
    {
        for (const auto& entry : map.getAll()) {
            (this->*step)(entry.first);
        }
    }

private:
    void labelOnce(const std::string& path)
    {
        if (m_done.insert(path).second) {
            VetuRestoreContext::restoreFileLabel(path, m_store);
        }
    }

    VetuRestoreInit& m_store;
    std::set<std::string> m_done;
};

}  // namespace

int VetuRestoreContext::restoreFileLabelForHasPolicy(VetuRestoreInit& store)
{
    LOG_INFO("restore label begin.");
    PolicyPass pass(store);
    pass.forEachKey(store.identityDataDirSpathid, &PolicyPass::labelTree);
    pass.forEachKey(store.identityDataDirOpathid, &PolicyPass::labelTree);
    pass.forEachKey(store.identityDataDirWSpathid, &PolicyPass::labelPatternTrees);
    pass.forEachKey(store.identityDataDirWOpathid, &PolicyPass::labelPatternTrees);
    pass.forEachKey(store.identityDataFileWildcardOid, &PolicyPass::labelPatternTrees);
    pass.forEachKey(store.identityDataFileWildcardSid, &PolicyPass::labelPatternTrees);
    for (const auto& entry : store.identityDataFileSid.getAll()) {
        LOG_INFO("fileSid pair.first: %s", logSafe(entry.first).c_str());
        if (fileExists(entry.first.c_str()) != 0) {
            LOG_INFO("fileSid pathIsExists error: %s", logSafe(entry.first).c_str());
        }
        pass.labelPath(entry.first);
    }
    pass.forEachKey(store.identityDataFileOid, &PolicyPass::labelPath);
    pass.forEachKey(store.identityDataDirSid, &PolicyPass::labelPath);
    pass.forEachKey(store.identityDataDirOid, &PolicyPass::labelPath);
    pass.forEachKey(store.identityDataLnkfileOid, &PolicyPass::labelPath);
    pass.forEachKey(store.identityDataLnkfileSid, &PolicyPass::labelPath);
    return 0;
}

int VetuRestoreContext::restoreDirLabel(const std::string& dir, VetuRestoreInit& store, int depth)
{
    if (dir.empty()) {
        LOG_ERROR("filepath is empty...");
        return -1;
    }
    if (depth > kMaxRestoreDepth) {
        LOG_ERROR("restore dir label exceeds max depth %d, path: %s", kMaxRestoreDepth, logSafe(dir).c_str());
        return -1;
    }
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        LOG_ERROR("opendir %s error!", logSafe(dir).c_str());
        return -1;
    }
    DIR* stream = fdopendir(fd);
    if (stream == nullptr) {
        close(fd);
        LOG_ERROR("fdopendir %s error!", logSafe(dir).c_str());
        return -1;
    }
    LOG_INFO("dir %s", logSafe(dir).c_str());
    restoreFileLabel(dir, store);
    while (const dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string child = dir + "/" + name;
        struct stat st {};
        if (lstat(child.c_str(), &st) != 0) {
            LOG_ERROR("get %s stat error!", logSafe(child).c_str());
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            LOG_DEBUG("dir %s", logSafe(child).c_str());
            restoreFileLabel(child, store);
            restoreDirLabel(child, store, depth + 1);
        } else {
            LOG_DEBUG("file %s", logSafe(child).c_str());
            restoreFileLabel(child, store);
        }
    }
    closedir(stream);
    return 0;
}
