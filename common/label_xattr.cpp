#include "common/label_xattr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/logger.h"
#include "common/paths.h"

namespace {

constexpr size_t kXattrBufferSize = 1024;

bool isValidMode(int mode)
{
    return mode >= 1 && mode <= 3;
}

// Every mode opens with O_PATH: a read-only open would block on a FIFO
// without a writer, fail on a socket and run a device's driver. O_PATH with
// O_NOFOLLOW opens a symbolic link itself, so modes 1 and 2 refuse one as the
// plain O_NOFOLLOW open would. Returns the descriptor, or -1 with errno set.
int openObject(const char* path, int mode)
{
    const int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || mode == 3) {
        return fd;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    if (S_ISLNK(st.st_mode)) {
        close(fd);
        errno = ELOOP;
        return -1;
    }
    return fd;
}

// f*xattr refuse O_PATH descriptors; the descriptor's /proc entry reaches
// the very object it names (a link included) without another path lookup.
void procFdPath(int fd, char (&out)[32])
{
    snprintf(out, sizeof(out), paths::kProcSelfFdFmt, fd);
}

}  // namespace

int getFileLabelFromXattr(const char* path, LabelContext* context, int mode)
{
    if (!isValidMode(mode) || path == nullptr || context == nullptr) {
        LOG_ERROR("invalid parameter");
        return -1;
    }
    const int fd = openObject(path, mode);
    if (fd < 0) {
        LOG_DEBUG("%s open failed (O_NOFOLLOW), %s", path, strerror(errno));
        return -1;
    }
    char fdPath[32];
    procFdPath(fd, fdPath);
    // One byte more than the largest value read, for the terminator.
    char value[kXattrBufferSize + 1];
    const ssize_t size = getxattr(fdPath, kLabelXattrName, value, kXattrBufferSize);
    const int saved = errno;
    close(fd);
    if (size < 0) {
        LOG_DEBUG("%s fgetxattr failed, %s", path, strerror(saved));
        return -1;
    }
    value[size] = '\0';
    LabelContext parsed;
    if (stringToContext(value, &parsed) != 0) {
        LOG_ERROR("label string to convert context error.");
        return -1;
    }
    *context = parsed;
    return 0;
}

int setFileLabelToXattr(const char* path, const LabelContext* context, int mode)
{
    if (!isValidMode(mode) || path == nullptr || context == nullptr) {
        LOG_ERROR("parameter error.");
        return -1;
    }
    const std::string text = contextToString(*context);
    const int fd = openObject(path, mode);
    if (fd < 0) {
        LOG_WARN("%s open failed (O_NOFOLLOW), %s", path, strerror(errno));
        return -1;
    }
    char fdPath[32];
    procFdPath(fd, fdPath);
    const int rc = setxattr(fdPath, kLabelXattrName, text.data(), text.size(), 0);
    const int saved = errno;
    close(fd);
    if (rc != 0) {
        LOG_WARN("%s fsetxattr error, %s", path, strerror(saved));
        return -1;
    }
    return 0;
}

namespace {

// Reads the label and hands out one of its identities; a failed read is
// logged at the level the caller names.
int getFileIdFromXattr(const char* path, vetu_id_t* out, unsigned int mode, vetu_id_t LabelContext::*field,
                       bool failureIsWarning)
{
    if (path == nullptr || out == nullptr || mode >= 4) {
        LOG_ERROR("invalid parameter");
        return -1;
    }
    LabelContext context;
    if (getFileLabelFromXattr(path, &context, static_cast<int>(mode)) != 0) {
        if (failureIsWarning) {
            LOG_WARN("get file label failed.");
        } else {
            LOG_DEBUG("get file label failed.");
        }
        return -1;
    }
    *out = context.*field;
    return 0;
}

}  // namespace

int getFileSidFromXattr(const char* path, vetu_id_t* sid, unsigned int mode)
{
    return getFileIdFromXattr(path, sid, mode, &LabelContext::sid, true);
}

int getFileCreateOidFromXattr(const char* path, vetu_id_t* createOid, unsigned int mode)
{
    return getFileIdFromXattr(path, createOid, mode, &LabelContext::create_oid, false);
}
