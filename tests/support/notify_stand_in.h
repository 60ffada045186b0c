// Stands in for the kernel's notify file: a FUSE file system of ours, served
// by a separate process in the test's mount namespace and mounted over
// /sys/kernel/security/vetu/common/notify (id_pairs is created beside it,
// see id_pairs_stub.h). Each read(2) of the file hands out exactly one queued
// request and blocks until there is one; each write(2) is one reply, handed to
// the test.
// Needs the real /dev/fuse: do not combine with sandbox::mountPrivateDev.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct NotifyReply {
    uint32_t id = 0;
    uint32_t status = 0;
    std::string label;
};

class NotifyStandIn {
public:
    // Mounts the file; throws std::runtime_error when the server cannot start.
    NotifyStandIn();
    // Unmounts and reaps the server (a killed one too).
    ~NotifyStandIn();
    NotifyStandIn(const NotifyStandIn&) = delete;
    NotifyStandIn& operator=(const NotifyStandIn&) = delete;

    // A request as the kernel writes it: id, flag, pid in native byte order,
    // then the path bytes, not terminated.
    static std::string request(uint32_t id, uint32_t flag, int32_t pid, const std::string& path);
    // Queues one request (1 to 4096 bytes); false when the server is gone.
    bool queue(const std::string& bytes);
    bool queue(uint32_t id, uint32_t flag, int32_t pid, const std::string& path)
    {
        return queue(request(id, flag, pid, path));
    }
    // Makes the next count reads return 0 bytes at once.
    bool queueEmptyReads(size_t count);
    // The next write of the program; false when none comes within the limit.
    bool nextWrite(std::string& bytes, double timeoutSeconds = 5);
    // The next write split into its fields; false also when shorter than 8.
    bool nextReply(NotifyReply& reply, double timeoutSeconds = 5);

    // Ends the server with SIGKILL: the mount stays, and reads on it fail.
    void killServer();
    pid_t serverPid() const { return m_pid; }

private:
    void shutdown();

    pid_t m_pid = -1;
    bool m_mounted = false;
    std::vector<char> m_buffer;
    int m_control = -1;
};
