// Thread 3 of the daemon: the label service on the system bus.
#pragma once

#include <atomic>

// Serves "com.ormel.vetu.labelmgr" until stop is set; wakeFd (may be -1) is
// the eventfd the stop writes, watched and never read. When the bus, the
// name or the service object cannot be had, logs why and tries again after a
// pause, so the daemon serves the bus once it is there. Never throws.
void dbusServiceInit(const std::atomic<bool>& stop, int wakeFd);
