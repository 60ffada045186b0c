// One ZeroMQ context and one socket, owned together. Every failure throws
// std::runtime_error.
#pragma once

#include <cstdint>
#include <string>

class ZmqSocket {
public:
    // A socket of the ZeroMQ type; it keeps nothing unsent at close.
    explicit ZmqSocket(int type);
    ~ZmqSocket();
    ZmqSocket(const ZmqSocket&) = delete;
    ZmqSocket& operator=(const ZmqSocket&) = delete;

    void bind(const std::string& endpoint);
    void connect(const std::string& endpoint);
    // One frame of exactly these bytes; more: further frames follow.
    void send(const std::string& bytes, bool more);
    // One frame, waiting for it; a signal does not end the wait.
    std::string recv();
    // True when the frame just received has further frames in its message.
    bool hasMoreFrames();
    void setSubscribe(const std::string& filter);
    // A peer that sends a larger frame is disconnected before it is read.
    void setMaxMessageSize(int64_t bytes);

private:
    void* m_context = nullptr;
    void* m_socket = nullptr;
};
