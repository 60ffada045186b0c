// What /proc says about a process that asks the kernel for something: its
// name, its executable and the path attribute the kernel keeps for it. Every
// read is bounded and never waits: a vanished pid, or a path attribute that
// is not a regular file, reads as absent.
#pragma once

#include <cstdint>
#include <string>

// Names of processes, from /proc/<pid>/comm.
class ProcessCommReader {
public:
    ProcessCommReader() = default;
    ~ProcessCommReader();
    ProcessCommReader(const ProcessCommReader&) = delete;
    ProcessCommReader& operator=(const ProcessCommReader&) = delete;

    // First line of /proc/<pid>/comm without newlines; "" when unreadable.
    // Read afresh on every call; the last pid's file stays open, saving the
    // open of the next request of the same process. The descriptor is bound
    // to that process, not its number: once it is reaped the read fails and
    // the file is opened again.
    std::string getProcessComm(int32_t pid);

private:
    int32_t m_pid = 0;
    int m_fd = -1;
};
// Target of /proc/<pid>/exe up to its first NUL; "" when unreadable.
std::string getProcessExePath(int32_t pid);
// The whole of /proc/<pid>/attr/vetu/path into content; false when it is
// absent or not a readable regular file.
bool readProcessPathAttr(int32_t pid, std::string& content);
// A path the kernel reports for an executable, as the program sees it: a
// leading /tmproot becomes /sysroot, then bind mounts and normalisation.
std::string visibleExecutablePath(const std::string& reported);
