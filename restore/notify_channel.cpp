#include "restore/notify_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/mount_table.h"
#include "common/path_utils.h"
#include "common/paths.h"
#include "restore/notify_message.h"
#include "restore/package_manager.h"
#include "restore/process_probe.h"
#include "restore/rename_relabel_queue.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"

// Every line of the channel carries the thread's own name.
#define NOTIFY_LOG(method, ...) Logger::getInstance()->method(kLogName, __LINE__, __VA_ARGS__)

namespace {

constexpr const char kLogName[] = "monitorFileCreateAndRename";

constexpr int kOpenRetrySeconds = 5;
// The longest the thread goes without looking at the stop flag.
constexpr int kStopCheckMs = 250;
constexpr int kReadErrorPauseMs = 1000;
// Empty reads in a row before the thread pauses, so a file that keeps
// returning nothing cannot spin a core.
constexpr int kEmptyReadsBeforePause = 16;
constexpr int kRenameWorkers = 2;
constexpr size_t kMaxPendingRenames = 65536;

// The stop flag and the wake eventfd. The eventfd is polled, never read (the
// mount watcher reads it); once it has fired it is left out of later polls.
class StopWatch {
public:
    StopWatch(const std::atomic<bool>& flag, int wakeFd) : m_flag(flag), m_wakeFd(wakeFd) {}

    bool stopped() const { return m_flag.load(); }

    // Waits until fd is readable (true), or up to kStopCheckMs for a stop;
    // fd -1 waits for the stop alone.
    bool waitReadable(int fd)
    {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const int rc = poll(fds, 2, kStopCheckMs);
        if (rc > 0 && fds[1].revents != 0 && !stopped()) {
            m_wakeFd = -1;  // woken for someone else: it would stay readable
        }
        return rc > 0 && fds[0].revents != 0;
    }

    // Sleeps about ms unless stopped first; true when stopped.
    bool pause(int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stopped() && std::chrono::steady_clock::now() < end) {
            waitReadable(-1);
        }
        return stopped();
    }

private:
    const std::atomic<bool>& m_flag;
    int m_wakeFd;
};

// The path as the label store knows it.
std::string rewriteRequestPath(const std::string& path)
{
    return translateBindMountPath(normalizePath(replaceBeginString(path, paths::kTmproot, paths::kSysroot)));
}

// Opens the notify file, trying again every 5 seconds; -1 once stopped.
int openNotify(StopWatch& watch)
{
    for (;;) {
        if (watch.stopped()) {
            NOTIFY_LOG(logInfo, "monitor file create and rename thread exit before open.");
            return -1;
        }
        const int fd = open(paths::kNotify, O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        NOTIFY_LOG(logDebug, "can not open file %s", paths::kNotify);
        for (int i = 0; i < kOpenRetrySeconds; ++i) {
            if (watch.pause(1000)) {
                NOTIFY_LOG(logInfo, "monitor file create and rename thread exit during retry.");
                return -1;
            }
        }
    }
}

class NotifyChannel {
public:
    NotifyChannel(const std::atomic<bool>& stopFlag, int wakeEventFd, VetuRestoreInit& store)
        : m_watch(stopFlag, wakeEventFd),
          m_store(store),
          m_renames(store, kRenameWorkers, kMaxPendingRenames)
    {
    }

    void run()
    {
        for (;;) {
            const int fd = openNotify(m_watch);
            if (fd < 0) {
                return;
            }
            const bool failed = serve(fd);
            close(fd);
            if (!failed) {
                NOTIFY_LOG(logInfo, "monitor file create and rename thread exit.");
                return;
            }
            // The file's server went away: open it again once it may be back.
            if (m_watch.pause(kReadErrorPauseMs)) {
                NOTIFY_LOG(logInfo, "monitor file create and rename thread exit.");
                return;
            }
        }
    }

private:
    // Serves until stopped (false) or until reads fail (true).
    bool serve(int fd)
    {
        int emptyReads = 0;
        while (!m_watch.stopped()) {
            if (!m_watch.waitReadable(fd)) {
                continue;
            }
            memset(m_readBuffer, 0, sizeof(m_readBuffer));
            const ssize_t n = read(fd, m_readBuffer, sizeof(m_readBuffer));
            if (n < 0) {
                if (errno == EINTR) {
                    NOTIFY_LOG(logWarn, "the system call read was interrupted by a signal.");
                    continue;
                }
                if (errno == EAGAIN) {
                    continue;
                }
                NOTIFY_LOG(logWarn, "read error: %s", strerror(errno));
                return true;
            }
            if (n == 0) {
                if (++emptyReads >= kEmptyReadsBeforePause) {
                    emptyReads = 0;
                    m_watch.pause(kReadErrorPauseMs);
                }
                continue;
            }
            emptyReads = 0;
            handleRequest(fd, static_cast<size_t>(n));
        }
        return false;
    }

    void handleRequest(int fd, size_t length)
    {
        NotifyRequest request;
        if (!parseNotifyRequest(m_readBuffer, length, request)) {
            NOTIFY_LOG(logError, "read date length too short!");
            return;
        }
        NOTIFY_LOG(logDebug, "original file path:%s", logSafe(request.path).c_str());
        const std::string path = rewriteRequestPath(request.path);
        if (request.flag == kNotifyFlagRename) {
            NOTIFY_LOG(logInfo, "rename a file:%s", logSafe(path).c_str());
            if (!m_renames.submit(path)) {
                NOTIFY_LOG(logError, "too many renames waiting, not relabelled: %s", logSafe(path).c_str());
            }
        } else if (request.flag == kNotifyFlagCreate) {
            handleCreate(fd, request.id, request.pid, path);
        } else {
            NOTIFY_LOG(logError, "invalid message flag!");
        }
    }

    // The creator waits for the reply: the request's own lines, in their
    // order, are written after it.
    void handleCreate(int fd, uint32_t id, int32_t pid, const std::string& path)
    {
        const std::string name = m_comms.getProcessComm(pid);
        std::string exe;
        const PackageManagerCheck check = checkPackageManager(pid, name, exe);
        std::string label;
        if (check != PackageManagerCheck::Genuine) {
            // A label of this request only: a failed computation answers empty.
            try {
                VetuRestoreContext::getNewCreateFileLabel(path, m_store, label);
            } catch (const std::exception& e) {
                NOTIFY_LOG(logError, "label of %s failed: %s", logSafe(path).c_str(), logSafe(e.what()).c_str());
                label.clear();
            }
        }
        const uint32_t status =
            check == PackageManagerCheck::Genuine ? kNotifyStatusPackageManager : kNotifyStatusLabel;
        const size_t length = buildNotifyReply(id, status, label, m_replyBuffer);
        const bool written = write(fd, m_replyBuffer, length) >= 0;

        // Both lines in one hand-over to the log file.
        const std::string shownPath = logSafe(path).c_str();
        Logger::getInstance()->logInfoLines(
            kLogName, __LINE__,
            {"create a file:" + shownPath, "the process that creates the file is " +
                                               std::string(logSafe(name).c_str()) + ", file_path: " + shownPath});
        if (check == PackageManagerCheck::Spoofed) {
            NOTIFY_LOG(logWarn,
                       "process name matches '%s' but exe path '%s' does not match any expected package manager "
                       "path, possible spoofing",
                       logSafe(name).c_str(), logSafe(exe).c_str());
        }
        if (status == kNotifyStatusLabel) {
            NOTIFY_LOG(logDebug, "file: %s, label: %s", logSafe(path).c_str(), logSafe(label).c_str());
            if (label.size() > kNotifyMaxLabel) {
                NOTIFY_LOG(logError, "label too long, truncating! file: %s, label: %s", logSafe(path).c_str(),
                           logSafe(label).c_str());
            }
        }
        if (!written) {
            NOTIFY_LOG(logError, "write get en error!");
        }
    }

    StopWatch m_watch;
    VetuRestoreInit& m_store;
    RenameRelabelQueue m_renames;
    ProcessCommReader m_comms;
    char m_readBuffer[kNotifyBufferSize];
    char m_replyBuffer[kNotifyBufferSize];
};

}  // namespace

int monitorFileCreateAndRename(const std::atomic<bool>& stopFlag, int wakeEventFd, VetuRestoreInit& store)
{
    NOTIFY_LOG(logInfo, "monitor file create and rename thread begin.");
    NotifyChannel channel(stopFlag, wakeEventFd, store);
    channel.run();
    return 0;
}

int monitorFileCreateAndRename(const std::atomic<bool>& stopFlag, int wakeEventFd)
{
    return monitorFileCreateAndRename(stopFlag, wakeEventFd, VetuRestoreInit::getInstance());
}
