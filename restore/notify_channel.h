// The kernel's notification channel: answers create requests on the notify
// file with the new file's label, and relabels renamed paths.
#pragma once

#include <pthread.h>

#include <atomic>

class VetuRestoreInit;

// Thread body of the daemon's fifth thread, started once the store is built;
// serves the notify file with blocking reads until stopFlag is set, and
// returns 0. A read blocked when the flag is set ends with
// interruptNotifyRead. Renames still waiting are dropped at the end; one
// that is running is finished first.
int monitorFileCreateAndRename(const std::atomic<bool>& stopFlag);
// The same, on the given store.
int monitorFileCreateAndRename(const std::atomic<bool>& stopFlag, VetuRestoreInit& store);

// Makes a read (or pause) of the channel blocked on thread return at once, so
// that the thread looks at its stop flag. A signal that lands just before the
// read starts is missed: whoever stops the thread repeats this until it ends.
void interruptNotifyRead(pthread_t thread);
// Blocks that signal on the calling thread and the threads it starts later,
// so that only the channel's thread (which unblocks it for itself) takes
// one sent to the process.
void blockNotifyInterrupt();
