// The executable or script of a running process, from the path the kernel
// keeps in the process's attribute file.
#include <string>

#include "common/file_utils.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_utils.h"
#include "common/paths.h"
#include "restore/process_probe.h"
#include "restore/vetu_restore_context.h"

std::string VetuRestoreContext::getProcessExecutableOrScriptPath(int32_t pid)
{
    std::string content;
    if (!readProcessPathAttr(pid, content)) {
        LOG_WARN("vetu path not found for pid %d", static_cast<int>(pid));
        return "";
    }
    if (content.empty()) {
        LOG_DEBUG("vetu path is empty for pid %d", static_cast<int>(pid));
        return "";
    }
    // Application trees are reported as seen, only without the kernel's root.
    if (content.find(paths::kSoviApplicationsDir) != std::string::npos ||
        content.find(paths::kQuensetLayersDir) != std::string::npos) {
        const std::string path = removePrefix(content, paths::kTmproot);
        if (fileExists(path.c_str()) != 0) {
            return "";
        }
        LOG_INFO("noPrefixExePath: %s", logSafe(path).c_str());
        return path;
    }
    const std::string path = visibleExecutablePath(content);
    if (fileExists(path.c_str()) != 0) {
        return "";
    }
    LOG_INFO("realExePath: %s", logSafe(path).c_str());
    return path;
}
