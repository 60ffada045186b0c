// Layout of the notify file's messages. A request (one read): id, flag and
// pid as native 32-bit integers, then the path, not terminated. A reply (one
// write): id and status, then for status 0 the label text, not terminated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kNotifyBufferSize = 4096;
constexpr size_t kNotifyRequestHeader = 12;
constexpr size_t kNotifyReplyHeader = 8;
// A reply stays below the buffer size: at most 4095 bytes.
constexpr size_t kNotifyMaxLabel = kNotifyBufferSize - kNotifyReplyHeader - 1;

constexpr uint32_t kNotifyFlagCreate = 1;
constexpr uint32_t kNotifyFlagRename = 2;
constexpr uint32_t kNotifyStatusLabel = 0;
constexpr uint32_t kNotifyStatusPackageManager = 1;

struct NotifyRequest {
    uint32_t id = 0;
    uint32_t flag = 0;
    int32_t pid = 0;
    std::string path;  // up to its first NUL
};

// False when the bytes are too few for the header.
bool parseNotifyRequest(const char* bytes, size_t length, NotifyRequest& request);
// Fills buffer (zeroed first) with the reply and returns its length; a label
// longer than kNotifyMaxLabel is cut to that.
size_t buildNotifyReply(uint32_t id, uint32_t status, const std::string& label, char (&buffer)[kNotifyBufferSize]);
