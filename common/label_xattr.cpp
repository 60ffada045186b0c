#include "common/label_xattr.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "common/log_text.h"
#include "common/logger.h"

namespace {

bool isValidMode(int mode)
{
    return mode >= 1 && mode <= 3;
}

// No mode opens the object: a read-only open would block on a FIFO without a
// writer, fail on a socket and run a device's driver, and f*xattr refuse
// O_PATH descriptors. The l*xattr calls act on the object the path names
// without following a final link, which is mode 3. Modes 1 and 2 refuse a
// link as an O_NOFOLLOW open would (ELOOP). Should the path be swapped for a
// link between the check and the call, the link itself is labelled, never
// what it points to. Returns 0, or -1 with errno set.
int checkObject(const char* path, int mode)
{
    struct stat st {};
    if (lstat(path, &st) != 0) {
        return -1;
    }
    if (mode != 3 && S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return 0;
}

// What the check before a read or write would have failed with.
bool isCheckFailure(int err)
{
    return err == ENOENT || err == ENOTDIR || err == EACCES || err == ELOOP || err == ENAMETOOLONG;
}

}  // namespace

int getFileLabelFromXattr(const char* path, LabelContext* context, int mode)
{
    if (!isValidMode(mode) || path == nullptr || context == nullptr) {
        LOG_ERROR("invalid parameter");
        return -1;
    }
    if (checkObject(path, mode) != 0) {
        const int err = errno;
        LOG_DEBUG("%s open failed (O_NOFOLLOW), %s", logSafe(path).c_str(), strerror(err));
        return -1;
    }
    LabelXattrRead current;
    current.read(path);
    return current.parse(path, context);
}

void LabelXattrRead::read(const char* path)
{
    size = lgetxattr(path, kLabelXattrName, value, kMaxSize);
    err = size < 0 ? errno : 0;
}

bool LabelXattrRead::text(const char* path, std::string_view& out)
{
    if (size < 0) {
        LOG_DEBUG("%s fgetxattr failed, %s", logSafe(path).c_str(), strerror(err));
        return false;
    }
    value[size] = '\0';
    out = value;
    return true;
}

int LabelXattrRead::parse(const char* path, LabelContext* context)
{
    std::string_view label;
    if (!text(path, label)) {
        return -1;
    }
    LabelContext parsed;
    if (stringToContext(label, &parsed) != 0) {
        LOG_ERROR("label string to convert context error.");
        return -1;
    }
    *context = parsed;
    return 0;
}

int LabelXattrRead::parseCreateOid(const char* path, vetu_id_t* createOid)
{
    std::string_view label;
    if (!text(path, label)) {
        return -1;
    }
    vetu_id_t parsed;
    if (stringToCreateOid(label, &parsed) != 0) {
        LOG_ERROR("label string to convert context error.");
        return -1;
    }
    *createOid = parsed;
    return 0;
}

int setFileLabelToXattr(const char* path, const LabelContext* context, int mode)
{
    if (!isValidMode(mode) || path == nullptr || context == nullptr) {
        LOG_ERROR("parameter error.");
        return -1;
    }
    const std::string text = contextToString(*context);
    if (checkObject(path, mode) != 0) {
        const int err = errno;
        LOG_WARN("%s open failed (O_NOFOLLOW), %s", logSafe(path).c_str(), strerror(err));
        return -1;
    }
    if (lsetxattr(path, kLabelXattrName, text.data(), text.size(), 0) != 0) {
        const int err = errno;
        LOG_WARN("%s fsetxattr error, %s", logSafe(path).c_str(), strerror(err));
        return -1;
    }
    return 0;
}

int getCheckedFileLabelFromXattr(const char* path, LabelContext* context)
{
    LabelXattrRead current;
    current.read(path);
    if (current.size < 0 && isCheckFailure(current.err)) {
        LOG_DEBUG("%s open failed (O_NOFOLLOW), %s", logSafe(path).c_str(), strerror(current.err));
        return -1;
    }
    return current.parse(path, context);
}

int setCheckedFileLabelToXattr(const char* path, const LabelContext* context)
{
    char text[kLabelTextLength];
    formatContext(*context, text);
    return writeLabelText(path, std::string_view(text, sizeof(text)));
}

int writeLabelText(const char* path, std::string_view text)
{
    if (lsetxattr(path, kLabelXattrName, text.data(), text.size(), 0) != 0) {
        const int err = errno;
        if (isCheckFailure(err)) {
            LOG_WARN("%s open failed (O_NOFOLLOW), %s", logSafe(path).c_str(), strerror(err));
        } else {
            LOG_WARN("%s fsetxattr error, %s", logSafe(path).c_str(), strerror(err));
        }
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
