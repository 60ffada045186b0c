#include "support/polkit_daemon.h"

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/bus_client.h"
#include "support/private_bus.h"
#include "support/sandbox.h"

const char kRootOnlyRules[] =
    "polkit.addRule(function(action, subject) {\n"
    "  if (action.id == \"com.ormel.vetu.labelmgr.access\")\n"
    "    return subject.user == \"root\" ? polkit.Result.YES : polkit.Result.NO;\n"
    "});\n";

const char kAnswerFileRules[] =
    "polkit.addRule(function(action, subject) {\n"
    "  if (action.id == \"com.ormel.vetu.labelmgr.access\")\n"
    "    return polkit.spawn([\"/bin/cat\", \"/run/polkit-test-answer\"]).trim();\n"
    "});\n";

namespace {

constexpr const char kPolkitd[] = "/usr/lib/polkit-1/polkitd";
constexpr const char kActionFile[] = VETU_SOURCE_DIR "/packaging/com.ormel.vetu.labelmgr.policy";
constexpr const char kActionsDir[] = "/usr/share/polkit-1/actions";
constexpr const char kEtcRulesDir[] = "/etc/polkit-1/rules.d";
constexpr const char kShareRulesDir[] = "/usr/share/polkit-1/rules.d";
constexpr const char kPolkitName[] = "org.freedesktop.PolicyKit1";
constexpr const char kQuestionRule[] =
    "type='method_call',interface='org.freedesktop.PolicyKit1.Authority',member='CheckAuthorization'";

// A basic value of the subject's details in decimal, with its type.
std::pair<std::string, std::string> detail(DBusMessageIter* variant)
{
    DBusMessageIter value;
    dbus_message_iter_recurse(variant, &value);
    DBusBasicValue basic{};
    dbus_message_iter_get_basic(&value, &basic);
    switch (dbus_message_iter_get_arg_type(&value)) {
    case DBUS_TYPE_UINT32:
        return {"u", std::to_string(basic.u32)};
    case DBUS_TYPE_UINT64:
        return {"t", std::to_string(basic.u64)};
    case DBUS_TYPE_INT32:
        return {"i", std::to_string(basic.i32)};
    }
    return {"?", ""};
}

// The question (sa{sv})s... as the test reads it.
PolkitQuery question(DBusMessage* message)
{
    PolkitQuery query;
    DBusMessageIter args, subject, details, entry, field;
    const char* text = "";
    dbus_message_iter_init(message, &args);
    dbus_message_iter_recurse(&args, &subject);
    dbus_message_iter_get_basic(&subject, &text);
    query.subjectKind = text;
    dbus_message_iter_next(&subject);
    dbus_message_iter_recurse(&subject, &details);
    for (; dbus_message_iter_get_arg_type(&details) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&details)) {
        dbus_message_iter_recurse(&details, &entry);
        dbus_message_iter_get_basic(&entry, &text);
        field = entry;
        dbus_message_iter_next(&field);
        query.subjectDetails[text] = detail(&field);
    }
    dbus_message_iter_next(&args);
    dbus_message_iter_get_basic(&args, &text);
    query.actionId = text;
    return query;
}

// A connection that sees a copy of every question.
DBusConnection* openMonitor()
{
    DBusConnection* connection = openSystemBus();
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
    if (reply == nullptr && connection != nullptr) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        connection = nullptr;
    }
    if (reply != nullptr) {
        dbus_message_unref(reply);
    }
    return connection;
}

}  // namespace

bool PolkitDaemon::prepare(const std::string& rules)
{
    for (const char* dir : {kActionsDir, kEtcRulesDir, kShareRulesDir}) {
        if (!sandbox::mountTmpfs(dir)) {
            m_error = std::string("mount tmpfs on ") + dir + ": " + strerror(errno);
            return false;
        }
        m_mounts.push_back(dir);
    }
    std::error_code error;
    const std::string base = std::filesystem::path(kActionFile).filename();
    if (!std::filesystem::copy_file(kActionFile, std::string(kActionsDir) + "/" + base, error)) {
        m_error = std::string("cannot copy ") + kActionFile;
        return false;
    }
    std::ofstream(std::string(kEtcRulesDir) + "/50-test.rules") << rules;
    setAnswer(PolkitAnswer::Authorised);
    return true;
}

PolkitDaemon::PolkitDaemon(const std::string& rules, double timeoutSeconds)
{
    if (access(kPolkitd, X_OK) != 0) {
        m_error = std::string(kPolkitd) + " is not here";
        return;
    }
    if (!prepare(rules)) {
        return;
    }
    m_daemon = ChildProcess({kPolkitd, "--no-debug"});
    m_ready = m_daemon.ok() && busNameOwnedWithin(kPolkitName, timeoutSeconds) && (m_monitor = openMonitor());
    if (!m_ready) {
        m_error = "polkitd did not take its bus name, or no monitor";
    }
}

PolkitDaemon::~PolkitDaemon()
{
    if (m_monitor != nullptr) {
        dbus_connection_close(m_monitor);
        dbus_connection_unref(m_monitor);
    }
    m_daemon.stop(SIGTERM);
    for (auto it = m_mounts.rbegin(); it != m_mounts.rend(); ++it) {
        umount2(it->c_str(), MNT_DETACH);
    }
}

void PolkitDaemon::setAnswer(PolkitAnswer answer)
{
    const char* const words[] = {"yes", "auth_admin", "no"};
    std::ofstream("/run/polkit-test-answer") << words[static_cast<int>(answer)] << "\n";
}

std::vector<PolkitQuery> PolkitDaemon::queries()
{
    // The bus hands the monitor its copy before polkitd gets the question,
    // so every question already answered is here to read.
    while (m_monitor != nullptr && dbus_connection_read_write(m_monitor, 0)) {
        DBusMessage* message = dbus_connection_pop_message(m_monitor);
        if (message == nullptr) {
            break;
        }
        if (dbus_message_is_method_call(message, "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization")) {
            m_queries.push_back(question(message));
        }
        dbus_message_unref(message);
    }
    return m_queries;
}
