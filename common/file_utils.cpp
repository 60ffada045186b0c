#include "common/file_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

#include "common/log_text.h"
#include "common/logger.h"

bool isDirectory(const char* path)
{
    struct stat st;
    return path != nullptr && lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSymlink(const char* path)
{
    struct stat st;
    return path != nullptr && lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

int fileExists(const char* path)
{
    return (path != nullptr && access(path, F_OK) == 0) ? 0 : -1;
}

bool isFilesystemReadOnly(const char* path)
{
    struct statvfs sv;
    if (path == nullptr || statvfs(path, &sv) != 0) {
        LOG_ERROR("statfs error, %s, %s", strerror(errno), path != nullptr ? path : "");
        return false;
    }
    return (sv.f_flag & ST_RDONLY) != 0;
}

int getFileInode(const std::string& path, uint64_t& inode)
{
    if (path.empty()) {
        LOG_ERROR("input file path is empty");
        return -1;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        LOG_WARN("Failed to get inode for %s: %s", logSafe(path).c_str(), strerror(errno));
        return -1;
    }
    inode = st.st_ino;
    return 0;
}

std::string readFileToString(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        LOG_ERROR("Failed to open file: %s", logSafe(path).c_str());
        return "";
    }
    try {
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    } catch (const std::exception& e) {
        LOG_ERROR("Failed to read file: %s, error: %s", logSafe(path).c_str(), logSafe(e.what()).c_str());
        return "";
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in.is_open()) {
        LOG_ERROR("Unable to open file, %s", logSafe(path).c_str());
        return "";
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

bool writeFile(const std::string& path, const std::string& content)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        LOG_ERROR("Unable to open file for writing, %s", logSafe(path).c_str());
        return false;
    }
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    size_t done = 0;
    bool ok = true;
    // The whole text goes in one write where possible: kernel attribute files
    // take each write as a complete value, so a partial one is a failure there.
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            LOG_ERROR("Unable to write file, %s: %s", logSafe(path).c_str(),
                      n < 0 ? strerror(errno) : "nothing written");
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
        if (done < content.size() && !regular) {
            LOG_ERROR("Unable to write file, %s: short write of %zu of %zu bytes", logSafe(path).c_str(), done,
                      content.size());
            ok = false;
            break;
        }
    }
    if (close(fd) != 0 && ok) {
        LOG_ERROR("Unable to close file, %s: %s", logSafe(path).c_str(), strerror(errno));
        ok = false;
    }
    return ok;
}
