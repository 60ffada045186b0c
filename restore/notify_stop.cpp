#include "restore/notify_stop.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>

namespace {

// The longest a thread goes without looking at the stop flag.
constexpr int kStopCheckMs = 250;
// A signal that lands just before the read begins is lost: sent again.
constexpr int kResignalMs = 10;
// Ignored by default, and nothing else here uses it: one that lands before
// the handler is set, or on another thread, does no harm.
constexpr int kInterruptSignal = SIGURG;

void onInterrupt(int /*sig*/) {}

void installInterruptHandler()
{
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the read must return
        return sigaction(kInterruptSignal, &action, nullptr) == 0;
    }();
    (void)installed;
}

bool waitFd(int fd, int ms)
{
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, ms) > 0;
}

}  // namespace

bool StopWatch::waitReadable(int fd)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    const int rc = poll(fds, 2, kStopCheckMs);
    if (rc > 0 && fds[1].revents != 0 && !stopped()) {
        m_wakeFd = -1;  // woken for someone else: it would stay readable
    }
    return rc > 0 && fds[0].revents != 0;
}

bool StopWatch::pause(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopped() && std::chrono::steady_clock::now() < end) {
        waitReadable(-1);
    }
    return stopped();
}

ReadInterrupter::ReadInterrupter(const std::atomic<bool>& flag, int wakeFd) : m_target(pthread_self())
{
    m_doneFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_doneFd < 0) {
        return;
    }
    installInterruptHandler();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, kInterruptSignal);
    sigset_t before;
    m_unblocked = pthread_sigmask(SIG_UNBLOCK, &set, &before) == 0 && sigismember(&before, kInterruptSignal) == 1;
    try {
        m_thread = std::thread(&ReadInterrupter::watch, this, StopWatch(flag, wakeFd));
    } catch (const std::system_error&) {
    }
}

ReadInterrupter::~ReadInterrupter()
{
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        (void)!write(m_doneFd, &one, sizeof(one));
        m_thread.join();
    }
    if (m_unblocked) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, kInterruptSignal);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    if (m_doneFd >= 0) {
        close(m_doneFd);
    }
}

void ReadInterrupter::watch(StopWatch watch)
{
    while (!watch.stopped()) {
        if (watch.waitReadable(m_doneFd)) {
            return;
        }
    }
    // The target is alive until the done eventfd is written.
    do {
        pthread_kill(m_target, kInterruptSignal);
    } while (!waitFd(m_doneFd, kResignalMs));
}
