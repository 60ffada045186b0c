#include "service/polkit_authority.h"

#include <dbus-c++/dbus.h>
#include <dbus/dbus-protocol.h>

#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "common/log_text.h"
#include "common/logger.h"
#include "service/caller_identity.h"

namespace {

constexpr const char kPolkitName[] = "org.freedesktop.PolicyKit1";
constexpr const char kPolkitPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char kPolkitInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr const char kCheckAuthorization[] = "CheckAuthorization";
constexpr uint32_t kNoUserInteraction = 0;
constexpr const char kBusErrorPrefix[] = "org.freedesktop.DBus.Error.";

template <typename Append>
void appendDetail(DBus::MessageIter& details, const char* key, const char* signature, Append append)
{
    DBus::MessageIter entry = details.new_dict_entry();
    entry.append_string(key);
    DBus::MessageIter variant = entry.new_variant(signature);
    append(variant);
    entry.close_container(variant);
    details.close_container(entry);
}

void buildRequest(DBus::MessageIter& writer, uint32_t pid, uint64_t startTime, int32_t uid,
                  const std::string& actionId)
{
    DBus::MessageIter subject = writer.new_struct();
    subject.append_string("unix-process");
    DBus::MessageIter details = subject.new_array("{sv}");
    appendDetail(details, "pid", "u", [pid](DBus::MessageIter& v) { v.append_uint32(pid); });
    appendDetail(details, "start-time", "t", [startTime](DBus::MessageIter& v) { v.append_uint64(startTime); });
    // polkit takes the uid only as a signed 32-bit value; any other type
    // makes it read the uid from /proc, which a setuid exec can change.
    appendDetail(details, "uid", "i", [uid](DBus::MessageIter& v) { v.append_int32(uid); });
    subject.close_container(details);
    writer.close_container(subject);
    writer.append_string(actionId.c_str());
    DBus::MessageIter noDetails = writer.new_array("{ss}");
    writer.close_container(noDetails);
    writer.append_uint32(kNoUserInteraction);
    writer.append_string("");
}

// The reply is one struct (bba{ss}); anything else is a malformed answer.
void readResult(const DBus::Message& reply, bool& authorized, bool& challenge)
{
    DBus::MessageIter reader = reply.reader();
    if (reader.type() != DBUS_TYPE_STRUCT) {
        throw DBus::ErrorInvalidArgs("struct expected");
    }
    DBus::MessageIter result = reader.recurse();
    if (result.type() != DBUS_TYPE_BOOLEAN) {
        throw DBus::ErrorInvalidArgs("type mismatch");
    }
    authorized = result.get_bool();
    ++result;
    if (result.type() != DBUS_TYPE_BOOLEAN) {
        throw DBus::ErrorInvalidArgs("type mismatch");
    }
    challenge = result.get_bool();
    ++result;
    if (!result.is_dict()) {
        throw DBus::ErrorInvalidArgs("dictionary value expected");
    }
}

// The authority answered with an error of its own.
struct AuthorityErrorReply {};

// The bus library raises every error reply; one of the bus or the transport
// (no authority, no reply, a lost connection) goes on as a D-Bus error.
DBus::Message askAuthority(DBus::Connection& connection, DBus::CallMessage& call)
{
    try {
        DBus::Message reply = connection.send_blocking(call);
        if (reply.is_error()) {
            throw AuthorityErrorReply{};
        }
        return reply;
    } catch (const DBus::Error& e) {
        if (e.name() == nullptr || std::strncmp(e.name(), kBusErrorPrefix, sizeof(kBusErrorPrefix) - 1) == 0) {
            throw;
        }
    }
    throw AuthorityErrorReply{};
}

}  // namespace

PolkitAuthority::PolkitAuthority(DBus::Connection* connection) : m_connection(connection) {}

void PolkitAuthority::setConnection(DBus::Connection* connection)
{
    m_connection = connection;
}

bool PolkitAuthority::polkitCheckAuth(uint32_t pid, uint32_t uid, const std::string& actionId,
                                      std::string& errorText)
{
    errorText.clear();
    if (pid == 0 || actionId.empty() || m_connection == nullptr) {
        errorText = "invalid pid or action id or connection";
        return false;
    }
    if (uid > static_cast<uint32_t>(INT32_MAX)) {
        errorText = "invalid uid";
        return false;
    }
    try {
        const uint64_t startTime = getProcessStartTime(pid);
        if (startTime == 0) {
            LOG_ERROR("polkitCheckAuth: getProcessStartTime returned 0 for pid=%u, start-time verification may be "
                      "ineffective",
                      pid);
        }
        DBus::CallMessage call;
        DBus::MessageIter writer = call.writer();
        buildRequest(writer, pid, startTime, static_cast<int32_t>(uid), actionId);
        // Addressed after the body: the bus library rewrites the header at
        // every argument, which costs the call more than the rest of its
        // frame while the header still holds the address.
        if (!call.destination(kPolkitName) || !call.path(kPolkitPath) || !call.interface(kPolkitInterface) ||
            !call.member(kCheckAuthorization)) {
            throw std::bad_alloc();
        }
        const DBus::Message reply = askAuthority(*m_connection, call);
        bool authorized = false;
        bool challenge = false;
        readResult(reply, authorized, challenge);
        if (authorized) {
            LOG_INFO("polkit 授权成功");
            return true;
        }
        if (challenge) {
            errorText = "需要管理员密码认证，桌面将弹出授权窗口";
            LOG_INFO("polkit 等待密码认证");
        } else {
            errorText = "polkit 策略拒绝操作，无权限";
            LOG_INFO_CATEGORY("polkit 授权被显式拒绝");
        }
        return false;
    } catch (const AuthorityErrorReply&) {
        errorText = "PolicyKit DBus 调用无响应";
        return false;
    } catch (const DBus::Error& e) {
        errorText = std::string("DBus 通信异常：") + e.message();
    } catch (const std::invalid_argument& e) {
        errorText = std::string("数据解析失败（格式错误）：") + e.what();
    } catch (const std::out_of_range& e) {
        errorText = std::string("数据解析失败（数值越界）：") + e.what();
    } catch (const std::exception& e) {
        errorText = std::string("系统异常：") + e.what();
    } catch (...) {
        errorText = "发生未知异常";
    }
    LOG_ERROR("%s", logSafe(errorText).c_str());
    return false;
}
