// Package-identifier requests over a local ZeroMQ reply socket: a request is
// one frame with a package name, the reply 8 bytes with its identifier in
// host byte order (all bits set when there is none). Nothing in the daemon
// starts it.
#pragma once

#include <cstdint>
#include <string>

#include "daemon/zmq_socket.h"

class IpcServer {
public:
    // Binds anew, removing the socket file a former server left.
    IpcServer();

    // Answers requests one at a time, for ever; a ZeroMQ failure throws.
    void requsetHandler();

private:
    ZmqSocket m_socket;
};

// The store's identifier of the package, or all bits set.
uint64_t getPkgId(const std::string& pkgName);
