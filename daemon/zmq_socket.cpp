#include "daemon/zmq_socket.h"

#include <zmq.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

ZmqSocket::ZmqSocket(int type)
{
    m_context = zmq_ctx_new();
    if (m_context == nullptr) {
        throw std::runtime_error("Failed to create ZMQ context.");
    }
    m_socket = zmq_socket(m_context, type);
    if (m_socket == nullptr) {
        zmq_ctx_destroy(m_context);
        m_context = nullptr;
        throw std::runtime_error("Failed to create ZMQ socket.");
    }
    // Unsent replies to a gone client must not hold the close up.
    const int linger = 0;
    zmq_setsockopt(m_socket, ZMQ_LINGER, &linger, sizeof(linger));
}

ZmqSocket::~ZmqSocket()
{
    if (m_socket != nullptr) {
        zmq_close(m_socket);
    }
    if (m_context != nullptr) {
        zmq_ctx_destroy(m_context);
    }
}

void ZmqSocket::bind(const std::string& endpoint)
{
    if (zmq_bind(m_socket, endpoint.c_str()) != 0) {
        throw std::runtime_error("Failed to bind socket.");
    }
}

void ZmqSocket::connect(const std::string& endpoint)
{
    if (zmq_connect(m_socket, endpoint.c_str()) != 0) {
        throw std::runtime_error("Failed to connect socket.");
    }
}

void ZmqSocket::send(const std::string& bytes, bool more)
{
    zmq_msg_t message;
    if (zmq_msg_init_size(&message, bytes.size()) != 0) {
        throw std::runtime_error("Failed to initialize ZMQ message.");
    }
    if (!bytes.empty()) {
        memcpy(zmq_msg_data(&message), bytes.data(), bytes.size());
    }
    int rc;
    do {
        rc = zmq_sendmsg(m_socket, &message, more ? ZMQ_SNDMORE : 0);
    } while (rc < 0 && errno == EINTR);
    zmq_msg_close(&message);
    if (rc < 0) {
        throw std::runtime_error("Failed to send message.");
    }
}

std::string ZmqSocket::recv()
{
    zmq_msg_t message;
    zmq_msg_init(&message);
    int rc;
    do {
        rc = zmq_recvmsg(m_socket, &message, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        zmq_msg_close(&message);
        throw std::runtime_error("Failed to receive message.");
    }
    std::string bytes(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
    zmq_msg_close(&message);
    return bytes;
}

bool ZmqSocket::hasMoreFrames()
{
    int more = 0;
    size_t size = sizeof(more);
    return zmq_getsockopt(m_socket, ZMQ_RCVMORE, &more, &size) == 0 && more != 0;
}

void ZmqSocket::setSubscribe(const std::string& filter)
{
    if (zmq_setsockopt(m_socket, ZMQ_SUBSCRIBE, filter.data(), filter.size()) != 0) {
        throw std::runtime_error("Failed to set subscription filter.");
    }
}

void ZmqSocket::setMaxMessageSize(int64_t bytes)
{
    if (zmq_setsockopt(m_socket, ZMQ_MAXMSGSIZE, &bytes, sizeof(bytes)) != 0) {
        throw std::runtime_error("Failed to set maximum message size.");
    }
}
