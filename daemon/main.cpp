// Entry point: without arguments the daemon, with arguments one job.
#include <cstring>
#include <string>
#include <vector>

#include "common/logger.h"
#include "daemon/redirect_to_null.h"

namespace {

// The daemon host comes with a later change; until then a start fails.
int startDaemon(bool writePidFile)
{
    (void)writePidFile;
    LOG_ERROR("vetu label manager: the daemon is not available in this build.");
    return 1;
}

int restoreFilesWithPolicies()
{
    LOG_ERROR("vetu label manager: this job is not available in this build.");
    return 1;
}

int syncPathIds()
{
    LOG_ERROR("vetu label manager: this job is not available in this build.");
    return 1;
}

int restoreDir(const std::string& dir, const std::vector<std::string>& excluded)
{
    (void)dir;
    (void)excluded;
    LOG_ERROR("vetu label manager: this job is not available in this build.");
    return 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    LOG_INFO_CATEGORY("build date: %s %s", __DATE__, __TIME__);
    if (redirectToNull() != 0) {
        return 0;
    }
    // execve may pass no arguments at all; the hints still need a name.
    const char* self = argc > 0 && argv[0] != nullptr ? argv[0] : "vetu-label-manager";

    if (argc == 1) {
        return startDaemon(true);
    }
    if (argc <= 2) {
        if (argc == 2 && strcmp(argv[1], "-s") == 0) {
            return restoreFilesWithPolicies();
        }
        if (argc == 2 && strcmp(argv[1], "--sync-path-id") == 0) {
            return syncPathIds();
        }
        LOG_ERROR("vetu label restore: Invalid parameter...");
        LOG_INFO("Please input the parameters like this, %s -s", self);
        return 1;
    }
    if (argc == 4) {
        LOG_ERROR("Please input the parameters like this, %s -d dir --excluded dir", self);
        return 1;
    }

    std::vector<std::string> excluded;
    if (argc >= 5 && strcmp(argv[3], "--excluded") == 0) {
        for (int i = 4; i < argc; ++i) {
            LOG_INFO("exclude dir, %s", argv[i]);
            excluded.emplace_back(argv[i]);
        }
    }
    if (strcmp(argv[1], "-d") == 0) {
        return restoreDir(argv[2], excluded);
    }
    if (strcmp(argv[1], "-i") == 0) {
        LOG_INFO_CATEGORY("vetu label increment is not supported.");
        return startDaemon(false);
    }
    LOG_ERROR("vetu label restore: Invalid parameter...");
    LOG_INFO("Please input the parameters like this, %s -d filepath", self);
    return 1;
}
