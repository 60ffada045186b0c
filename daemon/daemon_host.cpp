#include "daemon/daemon_host.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/mount_table.h"
#include "common/paths.h"
#include "daemon/daemon_signals.h"
#include "daemon/daemonize.h"
#include "daemon/dbus_service_thread.h"
#include "daemon/single_instance.h"
#include "restore/notify_channel.h"
#include "restore/pathid_sync.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"

// The daemon's own lines carry the entry point's name.
#define LOG_MAIN_ERROR(...) Logger::getInstance()->logError("main", __LINE__, __VA_ARGS__)
#define LOG_MAIN_MILESTONE(...) Logger::getInstance()->logInfoCategory("main", __LINE__, __VA_ARGS__)

namespace {

constexpr mode_t kDaemonUmask = 0177;
constexpr auto kJoinPoll = std::chrono::milliseconds(20);
// How long the stop waits for a thread that does not watch the stop flag
// (the start-up build, the /run labels, a notification read) before the
// process ends without it.
constexpr auto kStopGrace = std::chrono::milliseconds(1000);

// True once the stop flag has been seen for kStopGrace; one clock for all
// the joins of the main thread.
bool graceOver()
{
    static std::chrono::steady_clock::time_point stopSeenAt{};
    if (!stopFlag.load()) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (stopSeenAt == std::chrono::steady_clock::time_point{}) {
        stopSeenAt = now;
    }
    return now - stopSeenAt >= kStopGrace;
}

// A service thread whose end can be waited for with a deadline.
class ServiceThread {
public:
    ServiceThread(bool blockStopSignals, std::function<void()> body)
    {
        m_finished = std::make_shared<std::atomic<bool>>(false);
        auto finished = m_finished;
        m_thread = std::thread([blockStopSignals, body = std::move(body), finished] {
            if (blockStopSignals) {
                sigset_t stopSignals;
                sigemptyset(&stopSignals);
                sigaddset(&stopSignals, SIGINT);
                sigaddset(&stopSignals, SIGTERM);
                sigaddset(&stopSignals, SIGHUP);
                pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
            }
            try {
                body();
            } catch (const std::exception& e) {
                LOG_ERROR("service thread ended by exception: %s", logSafe(e.what()).c_str());
            } catch (...) {
                LOG_ERROR("service thread ended by unknown exception");
            }
            finished->store(true);
        });
    }
    ~ServiceThread()
    {
        if (m_thread.joinable()) {
            m_thread.detach();
        }
    }
    ServiceThread(const ServiceThread&) = delete;
    ServiceThread& operator=(const ServiceThread&) = delete;

    bool finished() const { return m_finished->load(); }

    // Joins once the body has returned. With untilStop, gives up when the
    // stop flag has been set for kStopGrace; false then (the thread is left).
    bool join(bool untilStop)
    {
        while (!finished()) {
            if (untilStop && graceOver()) {
                return false;
            }
            std::this_thread::sleep_for(kJoinPoll);
        }
        m_thread.join();
        return true;
    }

private:
    std::shared_ptr<std::atomic<bool>> m_finished;
    std::thread m_thread;
};

void writePidFile()
{
    FILE* file = fopen(paths::kPidFile, "we");
    if (file == nullptr) {
        return;
    }
    fprintf(file, "%d\n", static_cast<int>(getpid()));
    fclose(file);
}

// The milestones carry the name they have always had.
constexpr const char kMapBuildName[] = "LabelMabagerInit";

void labelManagerInit()
{
    Logger::getInstance()->logInfoCategory(kMapBuildName, __LINE__, "label init map begin.");
    VetuRestoreInit::getInstance().initMap(syncFsFileInfoToKernel);
    Logger::getInstance()->logInfoCategory(kMapBuildName, __LINE__, "label init map end.");
}

}  // namespace

int startDaemon(bool writePid)
{
    daemonize();
    if (!checkProcess()) {
        LOG_MAIN_ERROR("vetu label manager: Duplicate instance detected.");
        fprintf(stderr, "vetu label manager: Duplicate instance detected.\n");
        reportGuardResult(false);
        return 1;
    }
    if (writePid) {
        writePidFile();
    }
    // The starter's success means: running, with its pid files in place.
    reportGuardResult(true);
    umask(kDaemonUmask);
    LOG_MAIN_MILESTONE("vetu labler manager service begin.");
    installStopHandler(SIGINT);
    installStopHandler(SIGTERM);
    createWakeEventFd();
    initSignalfdHandler();
    VetuRestoreContext::getInstance();

    const int wakeFd = wakeEventFd.load();
    ServiceThread runLabels(true, [] { VetuRestoreContext::getInstance().setDefalutLabelRecursive(paths::kRunDir); });
    ServiceThread buildMaps(true, labelManagerInit);
    ServiceThread bus(true, [] { dbusServiceInit(stopFlag); });
    ServiceThread mounts(false, [wakeFd] { monitorFilesystemMountPoint(stopFlag, wakeFd); });

    // A stop during the build ends the wait: the notifications are then
    // never served.
    bool allJoined = buildMaps.join(true);
    std::unique_ptr<ServiceThread> notify;
    if (allJoined && !stopFlag.load()) {
        notify = std::make_unique<ServiceThread>(false, [wakeFd] { monitorFileCreateAndRename(stopFlag, wakeFd); });
    }
    allJoined = runLabels.join(true) && allJoined;
    if (notify) {
        allJoined = notify->join(true) && allJoined;
    }
    // A D-Bus call in progress finishes first.
    bus.join(false);
    mounts.join(false);

    LOG_MAIN_MILESTONE("vetu labler manager service end.");
    closeWakeEventFd();
    if (!allJoined) {
        // A thread still works on the store or the restore context: their
        // destructors must not run under it. The signed files are written
        // crash-safe, so ending here loses nothing already stored.
        _exit(0);
    }
    return 0;
}
