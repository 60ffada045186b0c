#include "restore/process_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/mount_table.h"
#include "common/path_utils.h"
#include "common/process_attr.h"
#include "common/paths.h"

namespace {

constexpr size_t kCommLimit = 64;
constexpr size_t kPathLimit = 4096;

// O_NONBLOCK and the regular-file test keep a planted FIFO or device from
// holding the caller.
int openRegular(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// limit bounds what a hostile file can make us read.
bool readBounded(const std::string& path, size_t limit, std::string& content)
{
    const int fd = openRegular(path);
    if (fd < 0) {
        return false;
    }
    content.assign(limit, '\0');
    size_t done = 0;
    while (done < limit) {
        const ssize_t n = read(fd, &content[done], limit - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    content.resize(done);
    return true;
}

}  // namespace

ProcessCommReader::~ProcessCommReader()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

std::string ProcessCommReader::getProcessComm(int32_t pid)
{
    // A name is at most 16 bytes: one read takes it whole.
    char buffer[kCommLimit];
    ssize_t n = m_fd >= 0 && pid == m_pid ? pread(m_fd, buffer, sizeof(buffer), 0) : -1;
    if (n < 0) {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_pid = pid;
        m_fd = openRegular(procPath(paths::kProcCommFmt, pid));
        n = m_fd >= 0 ? pread(m_fd, buffer, sizeof(buffer), 0) : -1;
    }
    if (n <= 0) {
        return "";
    }
    const char* end = static_cast<const char*>(memchr(buffer, '\n', static_cast<size_t>(n)));
    return std::string(buffer, end != nullptr ? static_cast<size_t>(end - buffer) : static_cast<size_t>(n));
}

std::string getProcessExePath(int32_t pid)
{
    char target[kPathLimit] = {};
    if (readlink(procPath(paths::kProcExeFmt, pid).c_str(), target, sizeof(target) - 1) <= 0) {
        return "";
    }
    return target;
}

bool readProcessPathAttr(int32_t pid, std::string& content)
{
    return readBounded(procPath(paths::kProcAttrPathFmt, pid), kPathLimit, content);
}

std::string visibleExecutablePath(const std::string& reported)
{
    return normalizePath(translateBindMountPath(replaceBeginString(reported, paths::kTmproot, paths::kSysroot)));
}
