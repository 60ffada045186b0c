#include "daemon/daemon_signals.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "common/file_utils.h"
#include "common/log_text.h"
#include "common/logger.h"
#include "common/paths.h"

std::atomic<bool> stopFlag{false};
std::atomic<int> wakeEventFd{-1};

// The handler may only touch lock-free atomics.
static_assert(std::atomic<bool>::is_always_lock_free, "stopFlag must be lock-free");
static_assert(std::atomic<int>::is_always_lock_free, "wakeEventFd must be lock-free");

namespace {

int g_signalFd = -1;
// Stop handlers between their load of wakeEventFd and their write to it.
std::atomic<int> g_wakeWriters{0};

constexpr int kMaxFrames = 20;
constexpr const char kTraceBegin[] =
    "-------------------Stack trace begin------------------------------------------------\n";
constexpr const char kTraceEnd[] = "-------------------Stack trace end------------------------------------------------\n";
constexpr mode_t kCrashLogMode = 0640;

const int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGILL, SIGFPE, SIGBUS, SIGPIPE};

const char* signalName(int sig)
{
    switch (sig) {
    case SIGILL:
        return "SIGILL (Illegal Instruction)";
    case SIGABRT:
        return "SIGABRT (Abort)";
    case SIGBUS:
        return "SIGBUS (Bus Error)";
    case SIGFPE:
        return "SIGFPE (Floating Point Exception)";
    case SIGSEGV:
        return "SIGSEGV (Segmentation Fault)";
    case SIGPIPE:
        return "SIGPIPE (Broken Pipe)";
    default:
        return "Unknown signal";
    }
}

void writeReport(int fd, const char* name, void* const* frames, int count)
{
    writeAll(fd, name, strlen(name));
    writeAll(fd, "\n", 1);
    writeAll(fd, kTraceBegin, sizeof(kTraceBegin) - 1);
    backtrace_symbols_fd(frames, count, fd);
    writeAll(fd, kTraceEnd, sizeof(kTraceEnd) - 1);
}

// Async-signal-safe.
void writeWake(int fd)
{
    const uint64_t one = 1;
    (void)!write(fd, &one, sizeof(one));
}

void signalHandlerThread()
{
    while (!stopFlag.load()) {
        struct signalfd_siginfo info;
        const ssize_t n = read(g_signalFd, &info, sizeof(info));
        if (n == static_cast<ssize_t>(sizeof(info))) {
            const int sig = static_cast<int>(info.ssi_signo);
            if (sig == SIGILL || sig == SIGABRT || sig == SIGBUS || sig == SIGFPE || sig == SIGSEGV) {
                dumpStackTrace(sig);
            }
            if (sig == SIGPIPE) {
                LOG_WARN("SIGPIPE received, ignoring");
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        LOG_ERROR("signalfd read error: %s", n < 0 ? strerror(errno) : "short read");
        return;
    }
}

}  // namespace

void stopHandler(int)
{
    const int savedErrno = errno;
    stopFlag.store(true);
    // The waits of the daemon's threads watch the eventfd. A handler that
    // has read the descriptor keeps it from being closed until it has
    // written.
    g_wakeWriters.fetch_add(1);
    const int fd = wakeEventFd.load();
    if (fd >= 0) {
        writeWake(fd);
    }
    g_wakeWriters.fetch_sub(1);
    errno = savedErrno;
}

void installStopHandler(int sig)
{
    if (sig != SIGHUP && sig != SIGINT && sig != SIGTERM) {
        return;
    }
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
        return;
    }
    // No SA_RESTART: a blocking read on the thread the signal lands on
    // returns with EINTR and sees the flag.
    struct sigaction action {};
    action.sa_handler = stopHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(sig, &action, nullptr);
}

void createWakeEventFd()
{
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        LOG_ERROR("create eventfd error: %s", strerror(errno));
        return;
    }
    wakeEventFd.store(fd);
    // A stop that came before the descriptor did is written now: it stays
    // readable once a stop happened, whenever that was.
    if (stopFlag.load()) {
        writeWake(fd);
    }
}

void closeWakeEventFd()
{
    const int fd = wakeEventFd.exchange(-1);
    if (fd >= 0) {
        // A handler still writing to it finishes within a system call.
        while (g_wakeWriters.load() != 0) {
            std::this_thread::yield();
        }
        close(fd);
    }
}

void initSignalfdHandler()
{
    sigset_t fatal;
    sigemptyset(&fatal);
    for (int sig : kFatalSignals) {
        sigaddset(&fatal, sig);
    }
    pthread_sigmask(SIG_BLOCK, &fatal, nullptr);
    g_signalFd = signalfd(-1, &fatal, SFD_CLOEXEC);
    if (g_signalFd < 0) {
        LOG_ERROR("signalfd creation failed: %s", strerror(errno));
        return;
    }
    // The first backtrace loads the unwinder, which allocates: done here, the
    // crash report itself allocates nothing.
    void* warm[1];
    backtrace(warm, 1);
    try {
        std::thread(signalHandlerThread).detach();
    } catch (const std::system_error& e) {
        LOG_ERROR("signal thread start failed: %s", logSafe(e.what()).c_str());
    }
}

void dumpStackTrace(int sig)
{
    const char* name = signalName(sig);
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    writeReport(STDERR_FILENO, name, frames, count);
    const int fd = open(paths::kLogFile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kCrashLogMode);
    if (fd >= 0) {
        writeReport(fd, name, frames, count);
        close(fd);
    }
    _exit(1);
}
