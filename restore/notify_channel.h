// The kernel's notification channel: answers create requests on the notify
// file with the new file's label, and relabels renamed paths.
#pragma once

#include <atomic>

class VetuRestoreInit;

// Thread body of the daemon's fifth thread, started once the store is built;
// serves the notify file until stopFlag is set, and returns 0. wakeEventFd
// (may be -1) is polled, never read: within a second of stopFlag being set
// the thread ends, even while no request arrives. Renames still waiting are
// dropped at the end; one that is running is finished first.
int monitorFileCreateAndRename(const std::atomic<bool>& stopFlag, int wakeEventFd);
// The same, on the given store.
int monitorFileCreateAndRename(const std::atomic<bool>& stopFlag, int wakeEventFd, VetuRestoreInit& store);
