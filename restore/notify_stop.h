// How the notify thread sees a stop: the process-wide stop flag and the wake
// eventfd, and a watcher that interrupts the thread's blocking read once the
// stop comes, so the read needs no poll before it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <thread>

// The stop flag and the wake eventfd. The eventfd is polled, never read (the
// mount watcher reads it); once it has fired it is left out of later polls.
class StopWatch {
public:
    StopWatch(const std::atomic<bool>& flag, int wakeFd) : m_flag(flag), m_wakeFd(wakeFd) {}

    bool stopped() const { return m_flag.load(); }

    // Waits until fd is readable (true), or up to a quarter second for a
    // stop; fd -1 waits for the stop alone.
    bool waitReadable(int fd);
    // Sleeps about ms unless stopped first; true when stopped.
    bool pause(int ms);

private:
    const std::atomic<bool>& m_flag;
    int m_wakeFd;
};

// Interrupts the thread that makes it: a thread of its own watches for the
// stop and then signals that thread (a no-op handler without SA_RESTART)
// until this object goes, so a blocking read there ends with EINTR.
class ReadInterrupter {
public:
    ReadInterrupter(const std::atomic<bool>& flag, int wakeFd);
    // Stops the signals; the making thread's signal mask is as before.
    ~ReadInterrupter();
    ReadInterrupter(const ReadInterrupter&) = delete;
    ReadInterrupter& operator=(const ReadInterrupter&) = delete;

    // False when the watcher could not start: reads must then poll first.
    bool active() const { return m_thread.joinable(); }

private:
    void watch(StopWatch watch);

    pthread_t m_target;
    int m_doneFd = -1;
    bool m_unblocked = false;
    std::thread m_thread;
};
