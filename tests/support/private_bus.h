// A private system bus for tests: a dbus-daemon of type system listening on
// a socket in a fresh directory, reached through DBUS_SYSTEM_BUS_ADDRESS
// (unset again when the object goes). The daemon dies with the test process.
#pragma once

#include <sys/types.h>

#include <dbus-c++/dbus.h>

#include <functional>
#include <string>
#include <vector>

#include "support/run_process.h"

constexpr uid_t kNobodyUid = 65534;

class PrivateBus {
public:
    struct Options {
        bool permissive = true;  // anyone owns, sends and receives anything
        std::vector<std::string> includeFiles;  // loaded with <include>
    };

    PrivateBus();
    explicit PrivateBus(const Options& options);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // False when the daemon did not start; error() says why.
    bool ok() const { return m_daemon.ok(); }
    const std::string& error() const { return m_error; }
    pid_t pid() const { return m_daemon.pid(); }

    // A private, registered connection (the shared one stays on the first
    // bus a process met). Needs DBus::default_dispatcher set.
    DBus::Connection connect() const;

private:
    ChildProcess m_daemon;
    std::string m_dir;
    std::string m_address;
    std::string m_error;
};

// A connection to the system bus held by a forked child running as uid,
// until the object goes.
class BusPeer {
public:
    // name: its process name (prctl), "" keeps the test's.
    explicit BusPeer(uid_t uid, double timeoutSeconds = 10, const std::string& name = "");

    bool ok() const { return !m_name.empty(); }
    const std::string& uniqueName() const { return m_name; }
    pid_t pid() const { return m_child.pid(); }

private:
    ChildProcess m_child;
    std::string m_name;
};

// Runs body in a forked child dropped to uid; its exit status, or -1 when it
// failed to start, died of a signal or ran over the limit (then killed).
int runAsUser(uid_t uid, const std::function<int()>& body, double timeoutSeconds);
