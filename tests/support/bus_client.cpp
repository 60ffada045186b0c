#include "support/bus_client.h"

#include <chrono>
#include <cstdlib>
#include <utility>

#include "support/run_process.h"

namespace {

template <int Type, typename T>
BusArg basic(T value) { return [value](DBusMessageIter* it) { dbus_message_iter_append_basic(it, Type, &value); }; }

void render(DBusMessageIter* it, std::string& out)
{
    const int type = dbus_message_iter_get_arg_type(it);
    if (type == DBUS_TYPE_ARRAY || type == DBUS_TYPE_DICT_ENTRY || type == DBUS_TYPE_STRUCT ||
        type == DBUS_TYPE_VARIANT) {
        const bool entry = type == DBUS_TYPE_DICT_ENTRY;
        const bool dict = type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(it) == DBUS_TYPE_DICT_ENTRY;
        const char* open = type == DBUS_TYPE_STRUCT ? "(" : dict ? "{" : type == DBUS_TYPE_ARRAY ? "[" : "";
        const char* close = type == DBUS_TYPE_STRUCT ? ")" : dict ? "}" : type == DBUS_TYPE_ARRAY ? "]" : "";
        DBusMessageIter sub;
        dbus_message_iter_recurse(it, &sub);
        out += open;
        for (bool first = true; dbus_message_iter_get_arg_type(&sub) != DBUS_TYPE_INVALID; first = false) {
            out += first ? "" : entry ? ":" : ",";
            render(&sub, out);
            dbus_message_iter_next(&sub);
        }
        out += close;
        return;
    }
    DBusBasicValue value{};
    dbus_message_iter_get_basic(it, &value);
    out += type == DBUS_TYPE_STRING   ? "\"" + std::string(value.str) + "\""
           : type == DBUS_TYPE_UINT64 ? std::to_string(value.u64)
           : type == DBUS_TYPE_UINT32 ? std::to_string(value.u32)
           : type == DBUS_TYPE_INT32  ? std::to_string(value.i32)
                                      : "?";
}

}  // namespace

BusArg argContainer(const std::string& signature, std::vector<BusArg> items, int type)
{
    return [=](DBusMessageIter* it) {
        DBusMessageIter sub;
        dbus_message_iter_open_container(it, type, signature.empty() ? nullptr : signature.c_str(), &sub);
        for (const auto& item : items) {
            item(&sub);
        }
        dbus_message_iter_close_container(it, &sub);
    };
}

std::string renderArgs(DBusMessage* message)
{
    std::string out;
    DBusMessageIter it;
    for (bool more = dbus_message_iter_init(message, &it); more; more = dbus_message_iter_next(&it)) {
        out += out.empty() ? "" : " ";
        render(&it, out);
    }
    return out;
}

BusArg argString(const std::string& value)
{
    return [value](DBusMessageIter* it) {
        const char* text = value.c_str();
        dbus_message_iter_append_basic(it, DBUS_TYPE_STRING, &text);
    };
}
BusArg argU64(uint64_t value) { return basic<DBUS_TYPE_UINT64, dbus_uint64_t>(value); }
BusArg argU32(uint32_t value) { return basic<DBUS_TYPE_UINT32, dbus_uint32_t>(value); }
BusArg argI32(int32_t value) { return basic<DBUS_TYPE_INT32, dbus_int32_t>(value); }

BusArg argStrings(const std::vector<std::string>& values)
{
    std::vector<BusArg> items;
    for (const auto& value : values) {
        items.push_back(argString(value));
    }
    return argContainer("s", items);
}

BusArg argStringU64Dict(const std::vector<std::pair<std::string, uint64_t>>& entries)
{
    std::vector<BusArg> items;
    for (const auto& entry : entries) {
        items.push_back(argContainer("", {argString(entry.first), argU64(entry.second)}, DBUS_TYPE_DICT_ENTRY));
    }
    return argContainer("{st}", items);
}

// Private, to the address set now: libdbus keeps the first a process saw, and each test's bus is new.
BusClient::BusClient()
{
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    m_connection = address ? dbus_connection_open_private(address, nullptr) : nullptr;
    if (m_connection != nullptr && !dbus_bus_register(m_connection, nullptr)) {
        dbus_connection_close(m_connection);
        dbus_connection_unref(std::exchange(m_connection, nullptr));
    }
}

BusClient::~BusClient()
{
    if (m_connection != nullptr) {
        dbus_connection_close(m_connection);
        dbus_connection_unref(m_connection);
    }
}

DBusPendingCall* BusClient::send(const std::string& method, const std::vector<BusArg>& args,
                                 const std::string& interface, int timeoutMs)
{
    DBusPendingCall* pending = nullptr;
    DBusMessage* message =
        dbus_message_new_method_call("com.ormel.vetu.labelmgr", "/org/freedesktop/DBus/ormel/vetu/labelmgr",
                                     interface.empty() ? nullptr : interface.c_str(), method.c_str());
    DBusMessageIter it;
    dbus_message_iter_init_append(message, &it);
    for (const auto& arg : args) {
        arg(&it);
    }
    if (m_connection != nullptr) {
        dbus_connection_send_with_reply(m_connection, message, &pending, timeoutMs);
        dbus_connection_flush(m_connection);
    }
    dbus_message_unref(message);
    return pending;
}

std::string BusClient::collect(DBusPendingCall* pending, int timeoutMs)
{
    if (pending == nullptr) {
        return "!not sent";
    }
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!dbus_pending_call_get_completed(pending) && std::chrono::steady_clock::now() < limit) {
        dbus_connection_read_write_dispatch(m_connection, 10);
    }
    DBusMessage* reply = dbus_pending_call_get_completed(pending) ? dbus_pending_call_steal_reply(pending) : nullptr;
    dbus_pending_call_cancel(pending);
    dbus_pending_call_unref(pending);
    if (reply == nullptr) {
        return "!timeout";
    }
    std::string out = renderArgs(reply);
    if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
        const std::string text = out.size() >= 2 ? out.substr(1, out.size() - 2) : "";  // unquoted
        out = std::string("!") + dbus_message_get_error_name(reply) + ": " + text;
    }
    dbus_message_unref(reply);
    return out;
}

std::string BusClient::call(const std::string& method, const std::vector<BusArg>& args, int timeoutMs,
                            const std::string& interface)
{
    return collect(send(method, args, interface, timeoutMs + 1000), timeoutMs);
}

bool busNameOwnedWithin(const std::string& name, double timeoutSeconds)
{
    BusClient client;
    return client.ok() && waitFor([&] { return dbus_bus_name_has_owner(client.raw(), name.c_str(), nullptr); },
                                  timeoutSeconds);
}
