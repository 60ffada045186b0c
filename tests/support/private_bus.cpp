#include "support/private_bus.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/run_process.h"

namespace {

constexpr double kStartSeconds = 10;
constexpr double kStopSeconds = 5;

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

DBusConnection* openSystemBus()
{
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address == nullptr) {
        return nullptr;
    }
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(address, &error);
    if (connection != nullptr && !dbus_bus_register(connection, &error)) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        connection = nullptr;
    }
    dbus_error_free(&error);
    return connection;
}

PrivateBus::PrivateBus() : PrivateBus(Options()) {}

PrivateBus::PrivateBus(const Options& options)
{
    const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    m_hadAddress = old != nullptr;
    m_oldAddress = old != nullptr ? old : "";
    start(options);
}

void PrivateBus::start(const Options& options)
{
    char dirTemplate[] = "/tmp/private-bus-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr || chmod(dirTemplate, 0755) != 0) {
        m_error = std::string("mkdtemp: ") + strerror(errno);
        return;
    }
    m_dir = dirTemplate;
    const std::string configPath = m_dir + "/bus.conf", socket = m_dir + "/system_bus_socket";
    if (!(std::ofstream(configPath) << busConfig(socket, options))) {
        m_error = "cannot write " + configPath;
        return;
    }
    const int pid = spawnDaemon({"/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + configPath});
    m_address = "unix:path=" + socket;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
    // Up once it takes a connection.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(kStartSeconds);
    while (pid > 0 && std::chrono::steady_clock::now() < limit) {
        if (DBusConnection* connection = openSystemBus()) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
            m_pid = pid;
            return;
        }
        usleep(10000);
    }
    m_error = "dbus-daemon did not listen";
    stopChild(pid, SIGKILL, kStopSeconds);
}

PrivateBus::~PrivateBus()
{
    stopChild(m_pid, SIGTERM, kStopSeconds);
    if (m_hadAddress) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", m_oldAddress.c_str(), 1);
    } else {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

DBus::Connection PrivateBus::connect() const
{
    DBus::Connection connection(m_address.c_str(), true);
    connection.register_bus();
    return connection;
}

BusPeer::BusPeer(uid_t uid, double timeoutSeconds, const std::string& processName)
{
    int report[2] = {-1, -1}, hold[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) == 0 && pipe2(hold, O_CLOEXEC) == 0 && (m_pid = fork()) == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!processName.empty()) {
            prctl(PR_SET_NAME, processName.c_str());
        }
        close(report[0]);
        close(hold[1]);
        DBusConnection* connection = dropTo(uid) ? openSystemBus() : nullptr;
        // An empty line tells the parent it failed.
        const std::string line = (connection ? dbus_bus_get_unique_name(connection) : "") + std::string("\n");
        char c;
        if (write(report[1], line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            while (read(hold[0], &c, 1) < 0 && errno == EINTR) {
            }
        }
        _exit(0);
    }
    for (int fd : {report[1], hold[0]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    std::string name;
    if (m_pid > 0 && readLineWithin(report[0], timeoutSeconds, name)) {
        m_name = name;
    }
    if (report[0] >= 0) {
        close(report[0]);
    }
    m_hold = hold[1];
}

BusPeer::~BusPeer()
{
    if (m_hold >= 0) {
        close(m_hold);
    }
    // Closing the pipe lets it leave on its own; the signal is for a child stuck elsewhere.
    int status;
    if (m_pid > 0 && !waitChildWithin(m_pid, kStopSeconds, status)) {
        stopChild(m_pid, SIGKILL, kStopSeconds);
    }
}

int runAsUser(uid_t uid, const std::function<int()>& body, double timeoutSeconds)
{
    const pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!dropTo(uid)) {
            _exit(126);
        }
        _exit(body());
    }
    int status = 0;
    if (!waitChildWithin(pid, timeoutSeconds, status)) {
        stopChild(pid, SIGKILL, kStopSeconds);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
