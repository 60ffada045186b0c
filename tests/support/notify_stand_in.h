// Stands in for the kernel's notify file: a FUSE file system of ours, served
// by a separate process in the test's mount namespace and mounted over
// /sys/kernel/security/vetu/common/notify (id_pairs is created beside it,
// see id_pairs_stub.h). Each read(2) of the file hands out exactly one queued
// request and blocks until there is one; each write(2) is one reply, handed to
// the test.
// Needs the real /dev/fuse: do not combine with sandbox::mountPrivateDev.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/run_process.h"

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

    // Queues one request as the kernel writes it: id, flag, pid in native
    // byte order, then the path bytes, not terminated; false when the
    // server is gone.
    bool queue(uint32_t id, uint32_t flag, int32_t pid, const std::string& path);
    // Makes the next count reads return 0 bytes at once.
    bool queueEmptyReads(size_t count);
    // The next write of the program; false when none comes within the limit.
    bool nextWrite(std::string& bytes, double timeoutSeconds = 5);
    // The next write split into its fields; false also when shorter than 8.
    bool nextReply(NotifyReply& reply, double timeoutSeconds = 5);

    // Ends the server with SIGKILL: the mount stays, and reads on it fail.
    void killServer() { m_server.stop(); }

private:
    bool send(const std::string& packet);

    ChildProcess m_server;
    int m_control = -1;
    std::vector<char> m_buffer = std::vector<char>(256 * 1024);  // a write's largest size
};
