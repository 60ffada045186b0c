// Process-wide stop state of the daemon, its stop signals and the crash
// report for fatal signals sent to it.
#pragma once

#include <atomic>

// Set only by stopHandler; watched by every service thread.
extern std::atomic<bool> stopFlag;
// Non-blocking eventfd that stopHandler writes 1 to; -1 when there is none.
extern std::atomic<int> wakeEventFd;

// Installs stopHandler for SIGHUP, SIGINT or SIGTERM (other numbers are
// ignored), unless the signal's disposition is "ignore" already.
void installStopHandler(int sig);
void stopHandler(int sig);

// Makes wakeEventFd; logs and leaves it at -1 on failure.
void createWakeEventFd();
// Closes wakeEventFd, if any, and sets it to -1.
void closeWakeEventFd();

// On the calling thread, before any other starts: blocks the fatal signals
// (and SIGPIPE) and starts the detached thread that reads them from a
// signalfd. Without a signalfd (logged) there are no crash reports.
void initSignalfdHandler();
// Writes the crash report for sig to descriptor 2 and the log file, then
// ends the process with status 1.
[[noreturn]] void dumpStackTrace(int sig);
