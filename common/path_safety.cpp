#include "common/log_text.h"
#include "common/path_safety.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/logger.h"
#include "common/path_utils.h"

namespace {

constexpr size_t kPathMax = 4096;

bool isControlChar(unsigned char c)
{
    // TAB is left to the metacharacter test, which names it.
    return c >= 0x01 && c <= 0x1F && c != 0x09;
}

bool isShellMetaChar(unsigned char c)
{
    switch (c) {
    case '\\':
    case ':':
    case '"':
    case '<':
    case '>':
    case '|':
    case '\n':
    case '\t':
        return true;
    default:
        return false;
    }
}

bool containsDangerousChars(const std::string& path)
{
    if (path.find('\0') != std::string::npos) {
        LOG_ERROR("FilePathCheck failed: contains null byte");
        return true;
    }
    for (unsigned char c : path) {
        if (isControlChar(c)) {
            LOG_ERROR("FilePathCheck failed: contains control characters");
            return true;
        }
    }
    if (path.find('\x7f') != std::string::npos) {
        LOG_ERROR("FilePathCheck failed: contains DEL character");
        return true;
    }
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (isShellMetaChar(c)) {
            LOG_ERROR("FilePathCheck failed: contains shell metacharacter '%c' (0x%02X) at position %zu in path: %s", c,
                      c, i, logSafe(path).c_str());
            return true;
        }
    }
    return false;
}

bool isContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

bool isValidUTF8(const std::string& path)
{
    const size_t n = path.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        size_t extra = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
        } else {
            LOG_ERROR("FilePathCheck failed: invalid UTF-8 byte 0x%02X at position %zu", c, i);
            return false;
        }
        if (i + extra >= n) {
            LOG_ERROR("FilePathCheck failed: invalid UTF-8 sequence at position %zu", i);
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (!isContinuation(static_cast<unsigned char>(path[i + k]))) {
                LOG_ERROR("FilePathCheck failed: invalid UTF-8 sequence at position %zu", i);
                return false;
            }
        }
        const unsigned char next = static_cast<unsigned char>(path[i + 1]);
        if ((c == 0xE0 && next < 0xA0) || (c == 0xF0 && next < 0x90)) {
            LOG_ERROR("FilePathCheck failed: overlong UTF-8 sequence");
            return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace

bool isFilePathSafe(const std::string& path, bool allowSymlink, bool allowWildcard, bool allowMissing)
{
    if (path.empty()) {
        LOG_ERROR("FilePathCheck failed: empty path");
        return false;
    }
    if (path.size() >= kPathMax) {
        LOG_ERROR("FilePathCheck failed: path too long (length=%zu, max=%d)", path.size(), static_cast<int>(kPathMax));
        return false;
    }
    // The path may hold NUL bytes; %s shows it up to the first one.
    const LogText logged(path);
    const char* text = logged.c_str();
    if (path[0] != '/') {
        LOG_ERROR("FilePathCheck failed: not an absolute path - %s", text);
        return false;
    }
    if (path.find("//") != std::string::npos) {
        LOG_ERROR("FilePathCheck failed: contains consecutive slashes - %s", text);
        return false;
    }
    if (path.find("/..") != std::string::npos || path.find("../") != std::string::npos) {
        LOG_ERROR("FilePathCheck failed: path traversal attack detected - %s", text);
        return false;
    }
    if (path.size() > 1 && path[1] == '.') {
        LOG_ERROR("FilePathCheck failed: invalid root path - %s", text);
        return false;
    }
    if (containsDangerousChars(path) || !isValidUTF8(path)) {
        return false;
    }
    if (!allowWildcard && containsWildcard(path)) {
        LOG_ERROR("FilePathCheck failed: wildcard not allowed - %s", text);
        return false;
    }
    // A caller that takes missing paths and links alike needs no look at the
    // file system. The path exists when what it leads to does (a dangling
    // link does not); lstat alone answers that for all but a link.
    bool exists = false;
    bool isLink = false;
    if (!allowMissing || !allowSymlink) {
        struct stat st;
        const bool found = lstat(path.c_str(), &st) == 0;
        isLink = found && S_ISLNK(st.st_mode);
        exists = isLink ? access(path.c_str(), F_OK) == 0 : found || access(path.c_str(), F_OK) == 0;
    }
    if (!allowMissing && !exists) {
        LOG_ERROR("FilePathCheck failed: path does not exist - %s", text);
        return false;
    }
    if (!allowSymlink && exists && isLink) {
        LOG_ERROR("FilePathCheck failed: symbolic link not allowed - %s", text);
        return false;
    }
    if (path.find(' ') != std::string::npos) {
        LOG_WARN("FilePathCheck: path contains spaces - %s", text);
    }
    LOG_DEBUG("FilePathCheck passed: %s", text);
    return true;
}
