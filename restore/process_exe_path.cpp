// The executable or script a process runs, from the path the kernel side
// publishes for it, as this program sees the file system.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/file_utils.h"
#include "common/logger.h"
#include "common/mount_table.h"
#include "common/path_utils.h"
#include "common/paths.h"
#include "restore/vetu_restore_context.h"

namespace {

constexpr const char kTmpRoot[] = "/tmproot";
constexpr const char kSysRoot[] = "/sysroot";
// Container layers whose paths are kept as the process sees them.
constexpr const char* kLayerDirs[] = {"/var/opt/sovi-applications", "/var/opt/quenset/layers"};

bool existsNoThrow(const std::string& path)
{
    std::error_code error;
    return !path.empty() && std::filesystem::exists(path, error);
}

}  // namespace

std::string VetuRestoreContext::getProcessExecutableOrScriptPath(int32_t pid)
{
    char file[64];
    snprintf(file, sizeof(file), paths::kProcAttrPathFmt, pid);
    if (!existsNoThrow(file)) {
        LOG_WARN("vetu path not found for pid %d", pid);
        return std::string();
    }
    const std::string content = readFile(file);
    if (content.empty()) {
        LOG_DEBUG("vetu path is empty for pid %d", pid);
        return std::string();
    }
    for (const char* layer : kLayerDirs) {
        if (content.find(layer) != std::string::npos) {
            const std::string path = removePrefix(content, kTmpRoot);
            if (!existsNoThrow(path)) {
                return std::string();
            }
            LOG_INFO("noPrefixExePath: %s", path.c_str());
            return path;
        }
    }
    const std::string path = normalizePath(translateBindMountPath(replaceBeginString(content, kTmpRoot, kSysRoot)));
    if (!existsNoThrow(path)) {
        return std::string();
    }
    LOG_INFO("realExePath: %s", path.c_str());
    return path;
}
