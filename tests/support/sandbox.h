// Private mount namespace for tests: the program's real paths are used
// unchanged, but /etc/vetu, /var/log/vetu, /run, /sys/kernel/security and
// /tmp are fresh tmpfs mounts that vanish with the process. HOME points at an
// empty directory on that /tmp, so rpm sees an empty package database.
#pragma once

#include <string>

namespace sandbox {

// Must run before any thread starts (unshare of the mount namespace fails in
// a threaded process). Aborts the process on failure.
void enter();

// Mounts a fresh tmpfs on an absolute path inside the namespace, creating
// the path first through an overlay of its nearest existing ancestor when it
// does not exist, so that nothing is written to the real file system.
// Returns false and sets errno on failure.
bool mountTmpfs(const std::string& path);

// Mounts a fresh tmpfs over /dev that holds only the common character
// devices (null, zero, full, random, urandom, tty) and the fd links, so that
// code which labels "/dev" itself leaves the real one alone.
bool mountPrivateDev();

// Mounts a fresh tmpfs over /proc/<pid>/attr so that the process attribute
// files of that process can be stood in for; creates vetu/ inside.
bool mountProcAttr(int pid);

}  // namespace sandbox
