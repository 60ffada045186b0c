// A libdbus client of the label service. Replies as text (renderArgs):
// numbers, "strings", [arrays], {k:v}, (structs), joined by blanks; errors
// "!<name>: <message>"; "!timeout".
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using BusArg = std::function<void(DBusMessageIter*)>;
BusArg argString(const std::string& value);
BusArg argU64(uint64_t value);
BusArg argU32(uint32_t value);
BusArg argI32(int32_t value);
BusArg argStrings(const std::vector<std::string>& values);
BusArg argStringU64Dict(const std::vector<std::pair<std::string, uint64_t>>& entries);
// signature "" for a dictionary entry.
BusArg argContainer(const std::string& signature, std::vector<BusArg> items, int type = DBUS_TYPE_ARRAY);

// A message's arguments as text; a variant shows as its value.
std::string renderArgs(DBusMessage* message);

// True once the name has an owner, within the time limit (0: asked once).
bool busNameOwnedWithin(const std::string& name, double timeoutSeconds);

class BusClient {
public:
    BusClient();  // its own connection to the system bus
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;
    bool ok() const { return m_connection != nullptr; }
    DBusConnection* raw() const { return m_connection; }

    // interface "" sends none.
    std::string call(const std::string& method, const std::vector<BusArg>& args, int timeoutMs = 5000,
                     const std::string& interface = "com.ormel.vetu.labelmgr");
    DBusPendingCall* send(const std::string& method, const std::vector<BusArg>& args,
                          const std::string& interface = "com.ormel.vetu.labelmgr", int timeoutMs = 30000);
    std::string collect(DBusPendingCall* pending, int timeoutMs);

private:
    DBusConnection* m_connection = nullptr;
};
