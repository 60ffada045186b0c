#include "support/polkit_daemon.h"

#include <signal.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>

#include "support/sandbox.h"

const char kAnswerFileRules[] =
    "polkit.addRule(function(action, subject) {\n"
    "  if (action.id == \"com.ormel.vetu.labelmgr.access\")\n"
    "    return polkit.spawn([\"/bin/cat\", \"/run/polkit-test-answer\"]).trim();\n"
    "});\n";

namespace {

constexpr const char kPolkitd[] = "/usr/lib/polkit-1/polkitd";
constexpr const char kActionFile[] = VETU_SOURCE_DIR "/packaging/com.ormel.vetu.labelmgr.policy";
// Actions, our rules, the system's rules: each a tmpfs while the daemon runs.
constexpr const char* kDirs[] = {"/usr/share/polkit-1/actions", "/etc/polkit-1/rules.d", "/usr/share/polkit-1/rules.d"};
constexpr const char kQuestionRule[] =
    "type='method_call',interface='org.freedesktop.PolicyKit1.Authority',member='CheckAuthorization'";

// Makes the client see a copy of every question.
bool becomeMonitor(const BusClient& client)
{
    DBusConnection* connection = client.raw();
    DBusMessage* call = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus.Monitoring", "BecomeMonitor");
    const char* rule = kQuestionRule;
    const char** rules = &rule;
    const dbus_uint32_t flags = 0;
    dbus_message_append_args(call, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &rules, 1, DBUS_TYPE_UINT32, &flags,
                              DBUS_TYPE_INVALID);
    DBusMessage* reply =
        connection ? dbus_connection_send_with_reply_and_block(connection, call, 5000, nullptr) : nullptr;
    dbus_message_unref(call);
    return reply != nullptr && (dbus_message_unref(reply), true);
}

}  // namespace

PolkitDaemon::PolkitDaemon(const std::string& rules)
{
    std::error_code error;
    for (const char* dir : kDirs) {
        if (!sandbox::mountTmpfs(dir)) {
            m_error = std::string("mount tmpfs on ") + dir;
            return;
        }
    }
    const std::string action = std::string(kDirs[0]) + "/" + std::filesystem::path(kActionFile).filename().string();
    std::filesystem::copy_file(kActionFile, action, error);
    std::ofstream(std::string(kDirs[1]) + "/50-test.rules") << rules;
    setAnswer(PolkitAnswer::Authorised);
    m_daemon = ChildProcess({kPolkitd, "--no-debug"});
    if (error || !busNameOwnedWithin("org.freedesktop.PolicyKit1", 15) || !becomeMonitor(m_monitor)) {
        m_error = std::string(kPolkitd) + " did not take its bus name, or no monitor";
    }
}

PolkitDaemon::~PolkitDaemon()
{
    m_daemon.stop(SIGTERM);
    for (const char* dir : kDirs) {
        umount2(dir, MNT_DETACH);
    }
}

void PolkitDaemon::setAnswer(PolkitAnswer answer)
{
    const char* const words[] = {"yes", "auth_admin", "no"};
    std::ofstream("/run/polkit-test-answer") << words[static_cast<int>(answer)] << "\n";
}

std::vector<std::string> PolkitDaemon::queries()
{
    // The bus hands the monitor its copy before polkitd gets the question,
    // so every question already answered is here to read.
    while (m_monitor.ok() && dbus_connection_read_write(m_monitor.raw(), 0)) {
        DBusMessage* message = dbus_connection_pop_message(m_monitor.raw());
        if (message == nullptr) {
            break;
        }
        if (dbus_message_is_method_call(message, "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization")) {
            m_queries.push_back(renderArgs(message));
        }
        dbus_message_unref(message);
    }
    return m_queries;
}
