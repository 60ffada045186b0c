// Entry point: without arguments the daemon, with arguments one job. The
// jobs log under the name "main", so they are written out here.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/paths.h"
#include "daemon/daemon_host.h"
#include "daemon/redirect_to_null.h"
#include "restore/pathid_sync.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"

namespace {

enum class Job { Daemon, Increment, RestoreWithPolicies, SyncPathIds, RestoreDir, UsageError };

// A command line read: the job and what it works on.
struct ParsedJob {
    Job job = Job::UsageError;
    std::string dir;  // -d: the tree to relabel
    std::vector<std::string> excluded;
};

ParsedJob parseJob(int argc, char* argv[], const char* self)
{
    ParsedJob parsed;
    if (argc == 1) {
        parsed.job = Job::Daemon;
    } else if (argc == 2 && strcmp(argv[1], "-s") == 0) {
        parsed.job = Job::RestoreWithPolicies;
    } else if (argc == 2 && strcmp(argv[1], "--sync-path-id") == 0) {
        parsed.job = Job::SyncPathIds;
    } else if (argc <= 2) {
        LOG_ERROR("vetu label restore: Invalid parameter...");
        LOG_INFO("Please input the parameters like this, %s -s", self);
    } else if (argc == 4) {
        LOG_ERROR("Please input the parameters like this, %s -d dir --excluded dir", self);
    } else {
        // The exclusions are read before argument 1 is looked at.
        if (argc >= 5 && strcmp(argv[3], "--excluded") == 0) {
            for (int i = 4; i < argc; ++i) {
                LOG_INFO("exclude dir, %s", argv[i]);
                parsed.excluded.emplace_back(argv[i]);
            }
        }
        if (strcmp(argv[1], "-d") == 0) {
            parsed.job = Job::RestoreDir;
            parsed.dir = argv[2];
        } else if (strcmp(argv[1], "-i") == 0) {
            parsed.job = Job::Increment;
        } else {
            LOG_ERROR("vetu label restore: Invalid parameter...");
            LOG_INFO("Please input the parameters like this, %s -d filepath", self);
        }
    }
    return parsed;
}

// The run promises labels from a fresh package import: stored package data
// that cannot be removed ends the job before anything is labelled.
bool removeStoredPackageData()
{
    struct stat st;
    if (lstat(paths::kPkgFileData, &st) == 0) {
        LOG_INFO_CATEGORY("%s is exist, remove it first.", paths::kPkgFileData);
        std::error_code ec;
        std::filesystem::remove(paths::kPkgFileData, ec);
        if (ec) {
            LOG_ERROR("can not remove %s: %s", paths::kPkgFileData, logSafe(ec.message()).c_str());
            return false;
        }
    } else if (errno != ENOENT && errno != ENOTDIR) {
        LOG_ERROR("can not check %s: %s", paths::kPkgFileData, strerror(errno));
        return false;
    }
    return true;
}

int runJob(const ParsedJob& parsed)
{
    switch (parsed.job) {
    case Job::UsageError:
        return 1;
    case Job::Daemon:
        return startDaemon(true);
    case Job::Increment:
        LOG_INFO_CATEGORY("vetu label increment is not supported.");
        return startDaemon(false);
    case Job::RestoreWithPolicies: {
        LOG_INFO_CATEGORY("vetu label restore for files with policies, begin.");
        VetuRestoreInit& store = VetuRestoreInit::getInstance();
        store.initMap(syncFsFileInfoToKernel);
        VetuRestoreContext::getInstance();
        VetuRestoreContext::restoreFileLabelForHasPolicy(store);
        LOG_INFO_CATEGORY("vetu label restore for files with policies, end.");
        return 0;
    }
    case Job::SyncPathIds: {
        LOG_INFO_CATEGORY("vetu label sync path_id to kernel, begin.");
        VetuRestoreInit& store = VetuRestoreInit::getInstance();
        if (store.loadIndentityData() != 0) {
            LOG_ERROR("Failed to load identity data");
            return 1;
        }
        syncPathidToKernel(store);
        LOG_INFO_CATEGORY("vetu label sync path_id to kernel, end.");
        return 0;
    }
    case Job::RestoreDir: {
        LOG_INFO_CATEGORY("vetu label restore begin.");
        if (!removeStoredPackageData()) {
            return 1;
        }
        VetuRestoreInit& store = VetuRestoreInit::getInstance();
        store.initMap(syncFsFileInfoToKernel);
        VetuRestoreContext::getInstance().setLabelToDirRecursive(store, parsed.dir, parsed.excluded);
        LOG_INFO_CATEGORY("vetu label restore end.");
        return 0;
    }
    }
    return 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    openClosedStandardDescriptors();
    LOG_INFO_CATEGORY("build date: %s %s", __DATE__, __TIME__);
    if (redirectToNull() != 0) {
        return 0;
    }
    // execve may pass no arguments at all; the hints still need a name.
    const char* self = argc > 0 && argv[0] != nullptr ? argv[0] : "vetu-label-manager";
    return runJob(parseJob(argc, argv, self));
}
