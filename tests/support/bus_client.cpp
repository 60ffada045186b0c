#include "support/bus_client.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

constexpr const char kService[] = "com.ormel.vetu.labelmgr";
constexpr const char kPath[] = "/org/freedesktop/DBus/ormel/vetu/labelmgr";

template <int Type, typename T>
BusArg basic(T value)
{
    return [value](DBusMessageIter* it) { dbus_message_iter_append_basic(it, Type, &value); };
}

void renderValue(DBusMessageIter* it, std::string& out)
{
    const int type = dbus_message_iter_get_arg_type(it);
    if (type == DBUS_TYPE_STRING) {
        const char* s = nullptr;
        dbus_message_iter_get_basic(it, &s);
        out += std::string("\"") + s + "\"";
    } else if (type == DBUS_TYPE_ARRAY || type == DBUS_TYPE_DICT_ENTRY) {
        const bool dict = type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(it) == DBUS_TYPE_DICT_ENTRY;
        DBusMessageIter sub;
        dbus_message_iter_recurse(it, &sub);
        out += type == DBUS_TYPE_DICT_ENTRY ? "" : dict ? "{" : "[";
        for (bool first = true; dbus_message_iter_get_arg_type(&sub) != DBUS_TYPE_INVALID; first = false) {
            out += first ? "" : type == DBUS_TYPE_DICT_ENTRY ? ":" : ",";
            renderValue(&sub, out);
            dbus_message_iter_next(&sub);
        }
        out += type == DBUS_TYPE_DICT_ENTRY ? "" : dict ? "}" : "]";
    } else if (type == DBUS_TYPE_UINT64) {
        dbus_uint64_t v = 0;
        dbus_message_iter_get_basic(it, &v);
        out += std::to_string(v);
    } else if (type == DBUS_TYPE_UINT32) {
        dbus_uint32_t v = 0;
        dbus_message_iter_get_basic(it, &v);
        out += std::to_string(v);
    } else if (type == DBUS_TYPE_INT32) {
        dbus_int32_t v = 0;
        dbus_message_iter_get_basic(it, &v);
        out += std::to_string(v);
    } else {
        out += "?" + std::to_string(type);
    }
}

}  // namespace

BusArg argString(const std::string& value)
{
    return [value](DBusMessageIter* it) {
        const char* s = value.c_str();
        dbus_message_iter_append_basic(it, DBUS_TYPE_STRING, &s);
    };
}
BusArg argU64(uint64_t value) { return basic<DBUS_TYPE_UINT64, dbus_uint64_t>(value); }
BusArg argU32(uint32_t value) { return basic<DBUS_TYPE_UINT32, dbus_uint32_t>(value); }
BusArg argI32(int32_t value) { return basic<DBUS_TYPE_INT32, dbus_int32_t>(value); }

BusArg argStrings(const std::vector<std::string>& values)
{
    return [values](DBusMessageIter* it) {
        DBusMessageIter sub;
        dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, "s", &sub);
        for (const auto& value : values) {
            argString(value)(&sub);
        }
        dbus_message_iter_close_container(it, &sub);
    };
}

BusArg argStringU64Dict(const std::vector<std::pair<std::string, uint64_t>>& entries)
{
    return [entries](DBusMessageIter* it) {
        DBusMessageIter dict;
        dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, "{st}", &dict);
        for (const auto& entry : entries) {
            DBusMessageIter pair;
            dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &pair);
            argString(entry.first)(&pair);
            argU64(entry.second)(&pair);
            dbus_message_iter_close_container(&dict, &pair);
        }
        dbus_message_iter_close_container(it, &dict);
    };
}

BusArg argSample(const std::string& signature)
{
    if (signature == "s") return argString("/x");
    if (signature == "t") return argU64(1);
    if (signature == "u") return argU32(1);
    if (signature == "i") return argI32(0);
    if (signature == "as") return argStrings({"/x"});
    return [signature](DBusMessageIter* it) {  // an empty dictionary
        DBusMessageIter dict;
        dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, signature.substr(1).c_str(), &dict);
        dbus_message_iter_close_container(it, &dict);
    };
}

std::string renderReply(DBusMessage* reply)
{
    if (reply == nullptr) {
        return "!timeout";
    }
    DBusMessageIter it;
    const bool hasArgs = dbus_message_iter_init(reply, &it);
    if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
        const char* text = "";
        if (hasArgs && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING) {
            dbus_message_iter_get_basic(&it, &text);
        }
        return std::string("!") + dbus_message_get_error_name(reply) + ": " + text;
    }
    std::string out;
    for (bool more = hasArgs; more; more = dbus_message_iter_next(&it)) {
        out += out.empty() ? "" : " ";
        renderValue(&it, out);
    }
    return out;
}

BusClient::BusClient()
{
    DBusError error;
    dbus_error_init(&error);
    // libdbus reads the bus addresses once per process; each test's bus
    // has a new one.
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    m_connection = address == nullptr ? nullptr : dbus_connection_open_private(address, &error);
    if (m_connection != nullptr) {
        dbus_connection_set_exit_on_disconnect(m_connection, false);
        if (!dbus_bus_register(m_connection, &error)) {
            dbus_connection_close(m_connection);
            dbus_connection_unref(m_connection);
            m_connection = nullptr;
        }
    }
    dbus_error_free(&error);
}

BusClient::~BusClient()
{
    if (m_connection != nullptr) {
        dbus_connection_close(m_connection);
        dbus_connection_unref(m_connection);
    }
}

std::string BusClient::uniqueName() const
{
    const char* name = m_connection == nullptr ? nullptr : dbus_bus_get_unique_name(m_connection);
    return name == nullptr ? "" : name;
}

DBusPendingCall* BusClient::send(const std::string& method, const std::vector<BusArg>& args,
                                 const std::string& interface, int timeoutMs)
{
    if (m_connection == nullptr) {
        return nullptr;
    }
    DBusMessage* message =
        dbus_message_new_method_call(kService, kPath, interface.empty() ? nullptr : interface.c_str(), method.c_str());
    DBusMessageIter it;
    dbus_message_iter_init_append(message, &it);
    for (const auto& arg : args) {
        arg(&it);
    }
    DBusPendingCall* pending = nullptr;
    dbus_connection_send_with_reply(m_connection, message, &pending, timeoutMs);
    dbus_connection_flush(m_connection);
    dbus_message_unref(message);
    return pending;
}

std::string BusClient::collect(DBusPendingCall* pending, int timeoutMs)
{
    if (pending == nullptr) {
        return "!not sent";
    }
    // Reads the connection until the reply is in or the time is up.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!dbus_pending_call_get_completed(pending) && std::chrono::steady_clock::now() < limit) {
        dbus_connection_read_write_dispatch(m_connection, 10);
    }
    DBusMessage* reply = dbus_pending_call_get_completed(pending) ? dbus_pending_call_steal_reply(pending) : nullptr;
    std::string text = renderReply(reply);
    if (reply != nullptr) {
        dbus_message_unref(reply);
    } else {
        dbus_pending_call_cancel(pending);
    }
    dbus_pending_call_unref(pending);
    return text;
}

std::string BusClient::call(const std::string& method, const std::vector<BusArg>& args, int timeoutMs,
                            const std::string& interface)
{
    return collect(send(method, args, interface, timeoutMs + 1000), timeoutMs);
}
