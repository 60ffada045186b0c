#include "support/polkit_daemon.h"

#include <dbus/dbus.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/bus_client.h"
#include "support/run_process.h"
#include "support/sandbox.h"


const char kRootOnlyRules[] =
    "polkit.addRule(function(action, subject) {\n"
    "  if (action.id == \"com.ormel.vetu.labelmgr.access\")\n"
    "    return subject.user == \"root\" ? polkit.Result.YES : polkit.Result.NO;\n"
    "});\n";

namespace {

constexpr const char kPolkitd[] = "/usr/lib/polkit-1/polkitd";
constexpr const char kActionsDir[] = "/usr/share/polkit-1/actions";
constexpr const char kEtcRulesDir[] = "/etc/polkit-1/rules.d";
constexpr const char kShareRulesDir[] = "/usr/share/polkit-1/rules.d";
constexpr const char kPolkitName[] = "org.freedesktop.PolicyKit1";

}  // namespace

bool PolkitDaemon::prepare(const std::string& actionFile, const std::string& rules)
{
    for (const char* dir : {kActionsDir, kEtcRulesDir, kShareRulesDir}) {
        if (!sandbox::mountTmpfs(dir)) {
            m_error = std::string("mount tmpfs on ") + dir + ": " + strerror(errno);
            return false;
        }
        m_mounts.push_back(dir);
    }
    std::error_code error;
    const std::string base = actionFile.substr(actionFile.rfind('/') + 1);
    if (!std::filesystem::copy_file(actionFile, std::string(kActionsDir) + "/" + base, error)) {
        m_error = "cannot copy " + actionFile;
        return false;
    }
    std::ofstream(std::string(kEtcRulesDir) + "/50-test.rules") << rules;
    return true;
}

PolkitDaemon::PolkitDaemon(const std::string& actionFile, const std::string& rules, double timeoutSeconds)
{
    if (access(kPolkitd, X_OK) != 0) {
        m_error = std::string(kPolkitd) + " is not here";
        return;
    }
    if (!prepare(actionFile, rules)) {
        return;
    }
    m_daemon = ChildProcess({kPolkitd, "--no-debug"});
    m_ready = m_daemon.ok() && busNameOwnedWithin(kPolkitName, timeoutSeconds);
    if (!m_ready) {
        m_error = "polkitd did not take its bus name";
    }
}

PolkitDaemon::~PolkitDaemon()
{
    m_daemon.stop(SIGTERM);
    for (auto it = m_mounts.rbegin(); it != m_mounts.rend(); ++it) {
        umount2(it->c_str(), MNT_DETACH);
    }
}
