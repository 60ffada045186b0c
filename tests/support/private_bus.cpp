#include "support/private_bus.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/bus_client.h"

namespace {

bool dropTo(uid_t uid)
{
    return setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0;
}

std::string busConfig(const std::string& socket, const PrivateBus::Options& options)
{
    // Without permissive: only what every bus needs, talking to the bus itself.
    std::string config = "<busconfig><type>system</type><listen>unix:path=" + socket +
                         "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>" +
                         (options.permissive ? "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                                               "<allow send_type=\"method_call\"/><allow receive_sender=\"*\"/>"
                                             : "<allow send_destination=\"org.freedesktop.DBus\"/>"
                                               "<allow receive_sender=\"org.freedesktop.DBus\"/>") +
                         "</policy>\n";
    for (const auto& file : options.includeFiles) {
        config += "<include>" + file + "</include>\n";
    }
    return config + "</busconfig>\n";
}

}  // namespace

PrivateBus::PrivateBus() : PrivateBus(Options()) {}

PrivateBus::PrivateBus(const Options& options)
{
    char dirTemplate[] = "/tmp/private-bus-XXXXXX";
    m_dir = mkdtemp(dirTemplate) != nullptr && chmod(dirTemplate, 0755) == 0 ? dirTemplate : "";
    const std::string configPath = m_dir + "/bus.conf", socket = m_dir + "/system_bus_socket";
    if (m_dir.empty() || !(std::ofstream(configPath) << busConfig(socket, options))) {
        m_error = "cannot write " + configPath;
        return;
    }
    m_daemon = ChildProcess({"/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + configPath});
    m_address = "unix:path=" + socket;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
    if (!m_daemon.ok() || !waitFor([] { return BusClient().ok(); }, 10)) {
        m_error = "dbus-daemon did not listen";
        m_daemon.stop();
    }
}

PrivateBus::~PrivateBus()
{
    m_daemon.stop(SIGTERM);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

DBus::Connection PrivateBus::connect() const
{
    DBus::Connection connection(m_address.c_str(), true);
    connection.register_bus();
    return connection;
}

BusPeer::BusPeer(uid_t uid, double timeoutSeconds, const std::string& processName)
{
    int report[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0) {
        return;
    }
    // An empty line when it has no name.
    m_child = ChildProcess([&] {
        if (!processName.empty()) {
            prctl(PR_SET_NAME, processName.c_str());
        }
        const BusClient* client = dropTo(uid) ? new BusClient : nullptr;  // held until killed
        const char* name = client && client->ok() ? dbus_bus_get_unique_name(client->raw()) : "";
        const std::string line = name + std::string("\n");
        if (write(report[1], line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            for (;;) {
                pause();
            }
        }
        return 1;
    });
    close(report[1]);
    struct pollfd ready = {report[0], POLLIN, 0};
    char buffer[256];
    const ssize_t n = m_child.ok() && poll(&ready, 1, static_cast<int>(timeoutSeconds * 1000)) == 1
                          ? read(report[0], buffer, sizeof(buffer))
                          : 0;
    close(report[0]);
    if (n > 1 && buffer[n - 1] == '\n') {
        m_name.assign(buffer, static_cast<size_t>(n - 1));
    }
}

int runAsUser(uid_t uid, const std::function<int()>& body, double timeoutSeconds)
{
    ChildProcess child([&] { return dropTo(uid) ? body() : 126; });
    int status = 0;
    return child.reap(timeoutSeconds, status) && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
