#include "common/dir_traverse.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_utils.h"

namespace {

constexpr int kMaxDepth = 512;

}  // namespace

int traverseDirectoryImpl(const std::string& dir, std::vector<std::string>& out, int depth, DirIdentitySet& visited,
                          bool followLink)
{
    if (depth <= 0) {
        LOG_WARN("traverseDirectory max depth reached: %s", logSafe(dir).c_str());
        return 0;
    }
    std::string path = dir;
    if (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    // O_NOFOLLOW: a directory swapped for a link after its parent looked at
    // it must not lead the walk elsewhere.
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    const int fd = open(path.c_str(), flags);
    DIR* handle = fd >= 0 ? fdopendir(fd) : nullptr;
    if (handle == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        LOG_WARN("Unable to open directory: %s", logSafe(path).c_str());
        return -1;
    }
    out.push_back(path);
    const std::string prefix = path == "/" ? path : path + "/";
    while (const struct dirent* entry = readdir(handle)) {
        if (isDotOrDotDot(entry->d_name)) {
            continue;
        }
        std::string child = prefix + entry->d_name;
        struct stat st;
        bool statDone = false;
        bool isDir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            statDone = fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
            isDir = statDone && S_ISDIR(st.st_mode);
        }
        if (!isDir) {
            out.push_back(std::move(child));
            continue;
        }
        if (!statDone && fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            LOG_WARN("lstat failed, skipping: %s", logSafe(child).c_str());
            continue;
        }
        const auto key = std::make_pair(st.st_dev, st.st_ino);
        if (!visited.insert(key).second) {
            LOG_WARN("Directory cycle detected, skipping: %s (inode=%lu)", logSafe(child).c_str(),
                     static_cast<unsigned long>(st.st_ino));
            continue;
        }
        traverseDirectoryImpl(child, out, depth - 1, visited);
        visited.erase(key);
    }
    closedir(handle);
    return 0;
}

int traverseDirectory(const std::string& root, std::vector<std::string>& out)
{
    DirIdentitySet visited;
    struct stat st;
    // The root may be named through a link; its target is what gets walked.
    if (stat(root.c_str(), &st) == 0) {
        visited.emplace(st.st_dev, st.st_ino);
    }
    return traverseDirectoryImpl(root, out, kMaxDepth, visited, true);
}
