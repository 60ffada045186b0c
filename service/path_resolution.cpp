#include "service/path_resolution.h"

#include <libgen.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_safety.h"
#include "store/vetu_restore_init.h"

namespace fs = std::filesystem;

namespace {

// Targets of at most 4094 bytes are taken.
constexpr std::size_t kLinkTargetBuffer = 4095;
// A link path of this length or more leaves the directory part "." and so
// a relative result, which the safety check refuses.
constexpr std::size_t kLinkPathBuffer = 4096;

bool existsFollowingLinks(const fs::path& path)
{
    const fs::file_status status = fs::status(path);
    return status.type() != fs::file_type::not_found && status.type() != fs::file_type::none;
}

std::string resolveThroughExistingAncestor(const std::string& input)
{
    const fs::path path(input);
    if (existsFollowingLinks(path)) {
        const std::string absolute = fs::canonical(path).string();
        LOG_INFO("absolute Path: %s", logSafe(absolute).c_str());
        return absolute;
    }
    fs::path parent = path.parent_path();
    while (!parent.empty()) {
        if (existsFollowingLinks(parent)) {
            // The rest starts with the separator that followed the parent.
            const std::string absolute = fs::canonical(parent).string() + input.substr(parent.native().size());
            LOG_INFO("absolute Path: %s", logSafe(absolute).c_str());
            return absolute;
        }
        fs::path next = parent.parent_path();
        if (next == parent) {
            break;
        }
        parent = std::move(next);
    }
    return input;
}

}  // namespace

std::string checkAndHandlePath(const std::string& path)
{
    LOG_DEBUG("input Path: %s", logSafe(path).c_str());
    try {
        return resolveThroughExistingAncestor(path);
    } catch (const fs::filesystem_error& e) {
        LOG_ERROR("Filesystem Exception: %s", logSafe(e.what()).c_str());
    } catch (const std::exception& e) {
        LOG_ERROR("General Exception: %s", logSafe(e.what()).c_str());
    }
    return path;
}

std::string getLnkTargetFilePath(const std::string& linkPath)
{
    if (linkPath.empty()) {
        LOG_ERROR("getLnkTargetFilePath: empty filepath");
        return "";
    }
    std::vector<char> target(kLinkTargetBuffer);
    const ssize_t length = readlink(linkPath.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= kLinkTargetBuffer) {
        LOG_ERROR("readlink error, file: %s", logSafe(linkPath).c_str());
        return "";
    }
    std::string result(target.data(), static_cast<std::size_t>(length));
    if (result.empty() || result[0] != '/') {
        std::vector<char> copy(kLinkPathBuffer, '\0');
        if (linkPath.size() < kLinkPathBuffer) {
            std::memcpy(copy.data(), linkPath.data(), linkPath.size());
        }
        const char* dir = dirname(copy.data());
        if (dir == nullptr) {
            LOG_ERROR("dirname failed for: %s", logSafe(linkPath).c_str());
            return "";
        }
        const std::string directory(dir);
        result = (directory == "/" ? directory : directory + "/") + result;
    }
    const bool allowSymlink = false;
    const bool allowWildcard = true;
    const bool allowMissing = true;
    if (!isFilePathSafe(result, allowSymlink, allowWildcard, allowMissing)) {
        LOG_ERROR("getLnkTargetFilePath: symlink target path is not safe: %s -> %s", logSafe(linkPath).c_str(),
                  logSafe(result).c_str());
        return "";
    }
    return result;
}

uint64_t getPathIdForFile(VetuRestoreInit& store, const std::string& path, bool useSid)
{
    constexpr uint64_t kNoPathId = std::numeric_limits<uint64_t>::max();
    uint64_t pathId = 0;
    const int ret = useSid ? store.getSidPathId(path, pathId) : store.getOidPathId(path, pathId);
    return ret != 0 || pathId == 0 ? kNoPathId : pathId;
}
