#include "restore/notify_channel.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>

#include <log4cpp/Priority.hh>

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
#define NOTIFY_LOG(level, ...) VETU_LOG_NAMED(kLogName, log_priority::level, log##level, __VA_ARGS__)

namespace {

constexpr const char kLogName[] = "monitorFileCreateAndRename";

// Aimed at the channel's thread to end a blocked read: ignored by default,
// so one that arrives before the handler is in place harms nothing.
constexpr int kInterruptSignal = SIGURG;
constexpr int kOpenRetrySeconds = 5;
constexpr int kReadErrorPauseMs = 1000;
// Empty reads answered at once are read again; past this many in a row,
// each next read waits kEmptyReadPause first, so a file that keeps returning
// nothing costs a few percent of a core and a request after them waits at
// most that long.
constexpr int kEmptyReadsAtOnce = 16;
constexpr auto kEmptyReadPause = std::chrono::milliseconds(1);
constexpr int kRenameWorkers = 2;
constexpr size_t kMaxPendingRenames = 65536;

void onInterrupt(int) {}

// No SA_RESTART: the interrupted read returns EINTR.
void installInterruptHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(kInterruptSignal, &action, nullptr);
    });
}

// how: SIG_BLOCK or SIG_UNBLOCK, for the calling thread.
void maskInterrupt(int how)
{
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, kInterruptSignal);
    pthread_sigmask(how, &interrupt, nullptr);
}

class StopWatch {
public:
    explicit StopWatch(const std::atomic<bool>& flag) : m_flag(flag) {}

    bool stopped() const { return m_flag.load(); }

    // Sleeps for duration unless stopped first (the interrupt ends the sleep
    // early); true when stopped.
    template <typename Duration>
    bool pause(Duration duration)
    {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (!stopped()) {
            const auto left = end - std::chrono::steady_clock::now();
            if (left <= Duration::zero()) {
                break;
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec request{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            nanosleep(&request, nullptr);
        }
        return stopped();
    }

private:
    const std::atomic<bool>& m_flag;
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
            NOTIFY_LOG(Info, "monitor file create and rename thread exit before open.");
            return -1;
        }
        const int fd = open(paths::kNotify, O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        NOTIFY_LOG(Debug, "can not open file %s", paths::kNotify);
        if (watch.pause(std::chrono::seconds(kOpenRetrySeconds))) {
            NOTIFY_LOG(Info, "monitor file create and rename thread exit during retry.");
            return -1;
        }
    }
}

class NotifyChannel {
public:
    NotifyChannel(const std::atomic<bool>& stopFlag, VetuRestoreInit& store)
        : m_watch(stopFlag),
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
                NOTIFY_LOG(Info, "monitor file create and rename thread exit.");
                return;
            }
            // The file's server went away: open it again once it may be back.
            if (m_watch.pause(std::chrono::milliseconds(kReadErrorPauseMs))) {
                NOTIFY_LOG(Info, "monitor file create and rename thread exit.");
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
            if (emptyReads >= kEmptyReadsAtOnce && m_watch.pause(kEmptyReadPause)) {
                break;
            }
            // Only the bytes read are looked at: the buffer is not cleared.
            const ssize_t n = read(fd, m_readBuffer, sizeof(m_readBuffer));
            if (n < 0) {
                if (errno == EINTR) {
                    NOTIFY_LOG(Warn, "the system call read was interrupted by a signal.");
                    continue;
                }
                NOTIFY_LOG(Warn, "read error: %s", strerror(errno));
                return true;
            }
            if (n == 0) {
                ++emptyReads;
                continue;
            }
            emptyReads = 0;
            handleRequest(fd, static_cast<size_t>(n));
        }
        return false;
    }

    // The creator waits for the reply: a request's lines are handed over
    // after it, all at once and in their order.
    void handleRequest(int fd, size_t length)
    {
        const Logger::Hold hold;
        NotifyRequest& request = m_request;
        if (!parseNotifyRequest(m_readBuffer, length, request)) {
            NOTIFY_LOG(Error, "read date length too short!");
            return;
        }
        NOTIFY_LOG(Debug, "original file path:%s", logSafe(request.path).c_str());
        const std::string path = rewriteRequestPath(request.path);
        if (request.flag == kNotifyFlagRename) {
            NOTIFY_LOG(Info, "rename a file:%s", logSafe(path).c_str());
            if (!m_renames.submit(path)) {
                NOTIFY_LOG(Error, "too many renames waiting, not relabelled: %s", logSafe(path).c_str());
            }
        } else if (request.flag == kNotifyFlagCreate) {
            handleCreate(fd, request.id, request.pid, path);
        } else {
            NOTIFY_LOG(Error, "invalid message flag!");
        }
    }

    void handleCreate(int fd, uint32_t id, int32_t pid, const std::string& path)
    {
        NOTIFY_LOG(Info, "create a file:%s", logSafe(path).c_str());
        const std::string name = m_comms.getProcessComm(pid);
        NOTIFY_LOG(Info, "the process that creates the file is %s, file_path: %s", logSafe(name).c_str(),
                   logSafe(path).c_str());
        std::string exe;
        const PackageManagerCheck check = checkPackageManager(pid, name, exe);
        if (check == PackageManagerCheck::Spoofed) {
            NOTIFY_LOG(Warn,
                       "process name matches '%s' but exe path '%s' does not match any expected package manager "
                       "path, possible spoofing",
                       logSafe(name).c_str(), logSafe(exe).c_str());
        }
        std::string label;
        if (check != PackageManagerCheck::Genuine) {
            // A label of this request only: a failed computation answers empty.
            try {
                VetuRestoreContext::getNewCreateFileLabel(path, m_store, label);
            } catch (const std::exception& e) {
                NOTIFY_LOG(Error, "label of %s failed: %s", logSafe(path).c_str(), logSafe(e.what()).c_str());
                label.clear();
            }
        }
        const uint32_t status =
            check == PackageManagerCheck::Genuine ? kNotifyStatusPackageManager : kNotifyStatusLabel;
        const size_t length = buildNotifyReply(id, status, label, m_replyBuffer);
        const bool written = write(fd, m_replyBuffer, length) >= 0;

        if (status == kNotifyStatusLabel) {
            NOTIFY_LOG(Debug, "file: %s, label: %s", logSafe(path).c_str(), logSafe(label).c_str());
            if (label.size() > kNotifyMaxLabel) {
                NOTIFY_LOG(Error, "label too long, truncating! file: %s, label: %s", logSafe(path).c_str(),
                           logSafe(label).c_str());
            }
        }
        if (!written) {
            NOTIFY_LOG(Error, "write get en error!");
        }
    }

    StopWatch m_watch;
    VetuRestoreInit& m_store;
    RenameRelabelQueue m_renames;
    ProcessCommReader m_comms;
    NotifyRequest m_request;  // its path keeps its memory from one request to the next
    char m_readBuffer[kNotifyBufferSize];
    char m_replyBuffer[kNotifyBufferSize];
};

}  // namespace

int monitorFileCreateAndRename(const std::atomic<bool>& stopFlag, VetuRestoreInit& store)
{
    installInterruptHandler();
    NOTIFY_LOG(Info, "monitor file create and rename thread begin.");
    // Its rename workers start here and inherit the mask: the interrupt must
    // still be blocked, or one sent to the process lands on them.
    NotifyChannel channel(stopFlag, store);
    maskInterrupt(SIG_UNBLOCK);
    channel.run();
    return 0;
}

int monitorFileCreateAndRename(const std::atomic<bool>& stopFlag)
{
    return monitorFileCreateAndRename(stopFlag, VetuRestoreInit::getInstance());
}

void interruptNotifyRead(pthread_t thread)
{
    pthread_kill(thread, kInterruptSignal);
}

void blockNotifyInterrupt()
{
    maskInterrupt(SIG_BLOCK);
}
