// The kernel's notify file stood in for by a FUSE server process (id_pairs
// is created beside it): each read(2) blocks for and hands out one queued
// request; each write(2) is one reply for the test. Needs the real /dev/fuse
// (not with sandbox::mountPrivateDev).
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
    NotifyStandIn();  // throws std::runtime_error when the server cannot start
    ~NotifyStandIn();
    NotifyStandIn(const NotifyStandIn&) = delete;
    NotifyStandIn& operator=(const NotifyStandIn&) = delete;

    // As the kernel writes it: id, flag, pid natively, the path unterminated; false when the server is gone.
    bool queue(uint32_t id, uint32_t flag, int32_t pid, const std::string& path);
    // Makes the next count reads return 0 bytes at once.
    bool queueEmptyReads(size_t count);
    bool nextWrite(std::string& bytes, double timeoutSeconds = 5);
    // False also when shorter than 8 bytes.
    bool nextReply(NotifyReply& reply, double timeoutSeconds = 5);

    // Ends the server with SIGKILL: the mount stays, and reads on it fail.
    void killServer() { m_server.stop(); }

private:
    bool send(const std::string& packet);

    ChildProcess m_server;
    int m_control = -1;
    std::vector<char> m_buffer = std::vector<char>(256 * 1024);  // a write's largest size
};
