// Private mount namespace for tests: the real paths, but /etc/vetu,
// /var/log/vetu, /run, /sys/kernel/security, /tmp and HOME (rpm's database)
// are fresh tmpfs that vanish with the process.
#pragma once

#include <string>

namespace sandbox {

// Before any thread starts (unshare fails in a threaded process); aborts on failure.
void enter();

// A missing path is made through an overlay of its nearest existing
// ancestor, so nothing is written to the real file system. False and errno on failure.
bool mountTmpfs(const std::string& path);

// A /dev of the common character devices and fd links only, for code that labels "/dev" itself.
bool mountPrivateDev();

// A tmpfs over /proc/<pid>/attr holding an empty vetu/.
bool mountProcAttr(int pid);

}  // namespace sandbox
