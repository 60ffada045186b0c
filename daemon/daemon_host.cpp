#include "daemon/daemon_host.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/command.h"
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
// How long the stop waits for a thread that does not watch the stop flag
// (the start-up build, the /run labels, a relabel of a renamed tree, a
// notification read that no signal interrupts) before the process ends
// without it.
constexpr auto kStopGrace = std::chrono::milliseconds(1000);
// While the stop waits: how often a notification read is interrupted again,
// since a signal that lands just before the read starts is missed.
constexpr int kInterruptRepeatMs = 20;
// Without the wake eventfd, how often the main thread looks at the flag.
constexpr int kStopPollMs = 1000;

// Written (1) by every service thread as it ends; the main thread sleeps on
// it and the wake eventfd.
int g_threadEndedFd = -1;

// A service thread whose end the main thread can sleep on.
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
            if (g_threadEndedFd >= 0) {
                const uint64_t one = 1;
                (void)!write(g_threadEndedFd, &one, sizeof(one));
            }
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
    pthread_t handle() { return m_thread.native_handle(); }
    void join() { m_thread.join(); }

private:
    std::shared_ptr<std::atomic<bool>> m_finished;
    std::thread m_thread;
};

// Sleeps until a service thread ends, the stop is written, or timeoutMs
// passes (-1: no limit). The wake eventfd is watched, never read: it stays
// readable once the stop has written it.
void waitForEvent(int wakeFd, int timeoutMs)
{
    pollfd fds[2] = {{g_threadEndedFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (wakeFd < 0 || g_threadEndedFd < 0) {
        timeoutMs = timeoutMs < 0 ? kStopPollMs : std::min(timeoutMs, kStopPollMs);
    }
    if (poll(fds, 2, timeoutMs) > 0 && (fds[0].revents & POLLIN) != 0) {
        uint64_t count = 0;
        (void)!read(g_threadEndedFd, &count, sizeof(count));
    }
}

// Until thread has ended (true) or the stop is seen (false).
bool waitUntilEndedOrStop(ServiceThread& thread, int wakeFd)
{
    while (!thread.finished()) {
        if (stopFlag.load()) {
            return false;
        }
        waitForEvent(wakeFd, -1);
    }
    return true;
}

// Until every thread has ended or the stop is seen.
void waitForStop(const std::vector<ServiceThread*>& threads, int wakeFd)
{
    while (!stopFlag.load()) {
        if (std::all_of(threads.begin(), threads.end(), [](ServiceThread* t) { return t->finished(); })) {
            return;
        }
        waitForEvent(wakeFd, -1);
    }
}

// After the stop: waits for thread, interrupting a notification read, until
// the deadline; false when the thread is left running.
bool joinBefore(ServiceThread& thread, std::chrono::steady_clock::time_point deadline, bool interruptReads)
{
    while (!thread.finished()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return false;
        }
        if (interruptReads) {
            interruptNotifyRead(thread.handle());
        }
        // The wake eventfd is readable for good now: only thread ends count.
        waitForEvent(-1, interruptReads ? std::min<int>(static_cast<int>(left), kInterruptRepeatMs)
                                            : static_cast<int>(left));
    }
    thread.join();
    return true;
}

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
    // Whoever learns from the starter that the daemon runs may stop it at
    // once: the handlers are in place before the starter is told.
    installStopHandler(SIGINT);
    installStopHandler(SIGTERM);
    // The starter's success means: running, with its pid files in place.
    reportGuardResult(true);
    umask(kDaemonUmask);
    LOG_MAIN_MILESTONE("vetu labler manager service begin.");
    // Before any thread starts: they all inherit it.
    blockNotifyInterrupt();
    createWakeEventFd();
    initSignalfdHandler();
    VetuRestoreContext::getInstance();

    const int wakeFd = wakeEventFd.load();
    g_threadEndedFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ServiceThread runLabels(true, [] { VetuRestoreContext::getInstance().setDefalutLabelRecursive(paths::kRunDir); });
    ServiceThread buildMaps(true, labelManagerInit);
    ServiceThread bus(true, [wakeFd] { dbusServiceInit(stopFlag, wakeFd); });
    ServiceThread mounts(false, [wakeFd] { monitorFilesystemMountPoint(stopFlag, wakeFd); });

    // A stop during the build ends the wait: the notifications are then
    // never served.
    std::unique_ptr<ServiceThread> notify;
    if (waitUntilEndedOrStop(buildMaps, wakeFd)) {
        notify = std::make_unique<ServiceThread>(false, [] { monitorFileCreateAndRename(stopFlag); });
    }
    std::vector<ServiceThread*> all = {&runLabels, &buildMaps, &bus, &mounts};
    if (notify) {
        all.push_back(notify.get());
    }
    waitForStop(all, wakeFd);

    // No command started by the daemon outlives it, nor holds its stop.
    endRunningCommands();
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    bool allJoined = joinBefore(buildMaps, deadline, false);
    allJoined = joinBefore(runLabels, deadline, false) && allJoined;
    if (notify) {
        allJoined = joinBefore(*notify, deadline, true) && allJoined;
    }
    // A D-Bus call in progress finishes first.
    bus.join();
    mounts.join();

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
