#include "daemon/pkgid_request_service.h"

#include <limits.h>
#include <unistd.h>
#include <zmq.h>

#include <cstring>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/paths.h"
#include "store/vetu_restore_init.h"

namespace {

constexpr uint64_t kNoPkgId = UINT64_MAX;
// A package name is part of its package's file name, so it fits a file name.
constexpr int64_t kMaxRequestBytes = NAME_MAX;

std::string endpoint()
{
    return std::string("ipc://") + paths::kPkgIdRequestSocket;
}

}  // namespace

uint64_t getPkgId(const std::string& pkgName)
{
    if (pkgName.empty()) {
        LOG_ERROR("get pkg id error: pkgname is empty.");
        return kNoPkgId;
    }
    uint64_t id = 0;
    if (VetuRestoreInit::getInstance().getPkgId(pkgName, id) != 0 || id == 0) {
        LOG_ERROR("get pkg id error: getPkgId failed.");
        return kNoPkgId;
    }
    LOG_INFO("pkgname: %s, id: %016lx", logSafe(pkgName).c_str(), id);
    return id;
}

IpcServer::IpcServer() : m_socket(ZMQ_REP)
{
    unlink(paths::kPkgIdRequestSocket);
    m_socket.setMaxMessageSize(kMaxRequestBytes);
    m_socket.bind(endpoint());
}

void IpcServer::requsetHandler()
{
    for (;;) {
        const std::string name = m_socket.recv();
        // A reply socket can answer only a whole message: the frames after
        // the first are read first, and the request gets "no identifier".
        size_t frames = 1;
        while (m_socket.hasMoreFrames()) {
            m_socket.recv();
            ++frames;
        }
        uint64_t id = kNoPkgId;
        if (frames > 1) {
            LOG_ERROR("malformed request: %zu frames.", frames);
        } else {
            LOG_INFO("recv request data: %s.", logSafe(name).c_str());
            id = getPkgId(name);
        }
        char reply[sizeof(id)];
        memcpy(reply, &id, sizeof(id));
        m_socket.send(std::string(reply, sizeof(reply)), false);
    }
}
