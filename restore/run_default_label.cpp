// Default labels for /run at daemon start. /run changes under the walk
// (sockets, pid files and whole directories come and go), so an entry that
// vanishes is passed over and never ends the walk.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/label_xattr.h"
#include "common/elapsed_time.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_utils.h"
#include "restore/vetu_restore_context.h"
#include "store/label_defaults.h"

namespace {

using DirKey = std::pair<dev_t, ino_t>;

LabelContext defaultLabel()
{
    LabelContext label;
    label.inherit_flag = kDefaultLabelInheritFlag;
    return label;
}

// Type of an entry without following it; 0 when it is gone.
unsigned char entryType(int parentFd, const dirent* entry)
{
    if (entry->d_type != DT_UNKNOWN) {
        return entry->d_type;
    }
    struct stat lst {};
    if (fstatat(parentFd, entry->d_name, &lst, AT_SYMLINK_NOFOLLOW) != 0) {
        return 0;
    }
    if (S_ISLNK(lst.st_mode)) {
        return DT_LNK;
    }
    return S_ISDIR(lst.st_mode) ? DT_DIR : S_ISREG(lst.st_mode) ? DT_REG : DT_FIFO;
}

// An open directory on the walk's current chain.
struct Frame {
    std::string prefix;  // the directory's path with a trailing "/"
    DIR* stream;
    DirKey key;
};

}  // namespace

int VetuRestoreContext::setDefalutLabelRecursive(const std::string& dir)
{
    const auto start = StepClock::now();
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) {
        LOG_ERROR("open dir %s failed, (%s)", logSafe(dir).c_str(), strerror(errno));
        return -1;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        LOG_ERROR("get dir %s stat failed, (%s)", logSafe(dir).c_str(), strerror(errno));
        closedir(stream);
        return -1;
    }
    const LabelContext label = defaultLabel();
    if (setFileLabelToXattr(dir.c_str(), &label, kXattrModeFile) != 0) {
        LOG_WARN("set default label for %s failed", logSafe(dir).c_str());
    }
    std::string top = dir;
    while (top.size() > 1 && top.back() == '/') {
        top.pop_back();
    }
    // Pre-order walk that stays on the device of dir, follows no link and
    // keeps the chain of open directories to step over bind-mount cycles.
    const DirKey topKey{st.st_dev, st.st_ino};
    std::set<DirKey> chain{topKey};
    std::vector<Frame> frames{{top == "/" ? top : top + "/", stream, topKey}};
    while (!frames.empty()) {
        errno = 0;
        const dirent* entry = readdir(frames.back().stream);
        if (entry == nullptr) {
            closedir(frames.back().stream);
            chain.erase(frames.back().key);
            frames.pop_back();
            continue;
        }
        if (isDotOrDotDot(entry->d_name)) {
            continue;
        }
        const int parentFd = dirfd(frames.back().stream);
        const std::string path = frames.back().prefix + entry->d_name;
        const unsigned char type = entryType(parentFd, entry);
        if (type != DT_LNK && type != DT_REG && type != DT_DIR) {
            continue;  // devices, pipes and sockets keep what they have; 0: gone
        }
        struct stat target {};
        if (stat(path.c_str(), &target) != 0) {
            LOG_DEBUG("get file %s stat failed, (%s)", logSafe(path).c_str(), strerror(errno));
            continue;
        }
        if (target.st_dev != st.st_dev) {
            LOG_DEBUG("file %s is not in the same device with %s", logSafe(path).c_str(), logSafe(dir).c_str());
            continue;
        }
        if (setFileLabelToXattr(path.c_str(), &label, kXattrModeFile) != 0) {
            LOG_WARN("set default label for %s failed", logSafe(path).c_str());
        }
        if (type != DT_DIR) {
            continue;
        }
        // No-follow: a directory swapped for a link since the listing is not entered.
        const int fd = openat(parentFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            continue;  // vanished, or not ours to open
        }
        struct stat opened {};
        if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev) {
            close(fd);
            continue;
        }
        if (chain.count({opened.st_dev, opened.st_ino}) != 0) {
            LOG_WARN("Directory cycle detected, skipping: %s (inode=%lu)", logSafe(path).c_str(),
                     static_cast<unsigned long>(opened.st_ino));
            close(fd);
            continue;
        }
        DIR* child = fdopendir(fd);
        if (child == nullptr) {
            close(fd);
            continue;
        }
        chain.insert({opened.st_dev, opened.st_ino});
        frames.push_back({path + "/", child, {opened.st_dev, opened.st_ino}});
    }
    LOG_INFO("cost time: %.4fs", secondsSince(start));
    return 0;
}
