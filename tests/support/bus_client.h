// A plain libdbus client for tests: calls with arguments of any type (wrong
// ones included) and replies rendered as text, so a test compares strings:
//   numbers in decimal, strings in double quotes, arrays [a,b], dictionaries
//   {k:v,...} in reply order, arguments separated by blanks; an error reply
//   "!<error name>: <message>"; no reply within the time limit "!timeout".
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Appends one argument.
using BusArg = std::function<void(DBusMessageIter*)>;

BusArg argString(const std::string& value);
BusArg argU64(uint64_t value);
BusArg argU32(uint32_t value);
BusArg argI32(int32_t value);
BusArg argStrings(const std::vector<std::string>& values);
BusArg argStringU64Dict(const std::vector<std::pair<std::string, uint64_t>>& entries);
// A valid value of a D-Bus signature (one complete type): "/x" for
// strings, 1 for numbers, one-element arrays, empty dictionaries.
BusArg argSample(const std::string& signature);

class BusClient {
public:
    // A private connection to the system bus.
    BusClient();
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    bool ok() const { return m_connection != nullptr; }
    std::string uniqueName() const;
    DBusConnection* raw() const { return m_connection; }

    // A call of the label service; interface "" sends none.
    std::string call(const std::string& method, const std::vector<BusArg>& args, int timeoutMs = 5000,
                     const std::string& interface = "com.ormel.vetu.labelmgr");
    // Sends without waiting; collect() gives the rendered reply.
    DBusPendingCall* send(const std::string& method, const std::vector<BusArg>& args,
                          const std::string& interface = "com.ormel.vetu.labelmgr", int timeoutMs = 30000);
    std::string collect(DBusPendingCall* pending, int timeoutMs);

private:
    DBusConnection* m_connection = nullptr;
};

std::string renderReply(DBusMessage* reply);
