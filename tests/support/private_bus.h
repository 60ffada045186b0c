// A private dbus-daemon of type system, set as DBUS_SYSTEM_BUS_ADDRESS while the object lives.
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

    bool ok() const { return m_daemon.ok(); }
    const std::string& error() const { return m_error; }
    pid_t pid() const { return m_daemon.pid(); }

    // Private: the shared one stays on the first bus a process met. Needs DBus::default_dispatcher.
    DBus::Connection connect() const;

private:
    ChildProcess m_daemon;
    std::string m_dir;
    std::string m_address;
    std::string m_error;
};

// A bus connection held by a forked child running as uid (named by prctl unless name is "").
class BusPeer {
public:
    explicit BusPeer(uid_t uid, double timeoutSeconds = 10, const std::string& name = "");

    bool ok() const { return !m_name.empty(); }
    const std::string& uniqueName() const { return m_name; }
    pid_t pid() const { return m_child.pid(); }

private:
    ChildProcess m_child;
    std::string m_name;
};

// body's exit status in a child dropped to uid; -1 when it did not start, was killed or ran over.
int runAsUser(uid_t uid, const std::function<int()>& body, double timeoutSeconds);
