#include "restore/notify_message.h"

#include <cstring>

namespace {

uint32_t readU32(const char* at)
{
    uint32_t value;
    memcpy(&value, at, sizeof(value));
    return value;
}

}  // namespace

bool parseNotifyRequest(const char* bytes, size_t length, NotifyRequest& request)
{
    if (length < kNotifyRequestHeader) {
        return false;
    }
    request.id = readU32(bytes);
    request.flag = readU32(bytes + 4);
    request.pid = static_cast<int32_t>(readU32(bytes + 8));
    const char* path = bytes + kNotifyRequestHeader;
    request.path.assign(path, strnlen(path, length - kNotifyRequestHeader));
    return true;
}

size_t buildNotifyReply(uint32_t id, uint32_t status, const std::string& label, char (&buffer)[kNotifyBufferSize])
{
    const size_t labelLength = label.size() < kNotifyMaxLabel ? label.size() : kNotifyMaxLabel;
    memset(buffer, 0, sizeof(buffer));
    memcpy(buffer, &id, sizeof(id));
    memcpy(buffer + 4, &status, sizeof(status));
    memcpy(buffer + kNotifyReplyHeader, label.data(), labelLength);
    return kNotifyReplyHeader + labelLength;
}
