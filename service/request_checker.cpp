#include "service/request_checker.h"

#include <dbus-c++/dbus.h>

#include <exception>
#include <fstream>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/paths.h"

namespace {

constexpr const char kSecadmUser[] = "secadm";
constexpr const char kAdmctlOn[] = "1";
constexpr std::chrono::seconds kRateWindow{1};

}  // namespace

RequestChecker::RequestChecker(RateLimiter::Clock clock) : m_rateLimiter(std::move(clock)) {}

void RequestChecker::setConnection(DBus::Connection* connection)
{
    m_identity.setConnection(connection);
    m_polkit.setConnection(connection);
}

bool RequestChecker::loadWhitelist(const std::string& path)
{
    return m_whitelist.loadWhitelist(path);
}

void RequestChecker::initAdmctl()
{
    try {
        std::ifstream file(paths::kAdmctl);
        if (!file.is_open()) {
            LOG_INFO("admctl file not found: %s, secadm restriction disabled", paths::kAdmctl);
            return;
        }
        std::string line;
        std::getline(file, line);
        if (line == kAdmctlOn) {
            m_admctlEnabled = true;
            LOG_INFO("admctl enabled: secadm user restriction is active");
        } else {
            LOG_INFO("admctl disabled (%s): secadm user restriction is inactive", logSafe(line).c_str());
        }
    } catch (const std::exception& e) {
        LOG_ERROR("initAdmctl exception: %s", logSafe(e.what()).c_str());
    } catch (...) {
        LOG_ERROR("initAdmctl unknown exception occurred");
    }
}

bool RequestChecker::checkRateLimit(const std::string& sender, uint32_t rateClass, const std::string& methodName)
{
    CallerLookup caller = lookUp(sender);
    return checkRateLimit(caller, rateClass, methodName);
}

bool RequestChecker::checkAuth(const std::string& sender, const std::string& methodName)
{
    CallerLookup caller = lookUp(sender);
    return checkAuth(caller, methodName);
}

bool RequestChecker::checkWhitelist(const std::string& sender, const std::string& methodName)
{
    CallerLookup caller = lookUp(sender);
    return checkWhitelist(caller, methodName);
}

bool RequestChecker::checkRateLimit(CallerLookup& caller, uint32_t rateClass, const std::string& methodName)
{
    const std::string& sender = caller.sender();
    if (sender.empty()) {
        LOG_ERROR("checkRateLimit: sender empty");
        return false;
    }
    uint32_t maximum = 0;
    if (!rateClassMaximum(rateClass, maximum)) {
        LOG_ERROR("checkRateLimit: unknown rate class %u for %s", rateClass, logSafe(methodName).c_str());
        return false;
    }
    // Connections of one non-root user share a budget; root's are told
    // apart by their bus names.
    std::string key = sender;
    uint32_t uid = 0;
    std::string what;
    switch (caller.askUid(uid, what)) {
    case CallerIdentity::Answer::Ok:
        if (uid != 0) {
            key = "uid:" + std::to_string(uid);
        }
        break;
    case CallerIdentity::Answer::NoConnection:
    case CallerIdentity::Answer::ErrorReply:
        break;
    default:
        LOG_ERROR("checkRateLimit: failed to get caller UID, falling back to sender");
        break;
    }
    m_rateLimiter.pruneRateLimitHistory();
    const bool admitted = m_rateLimiter.checkSlidingWindow(key, maximum, kRateWindow);
    if (admitted) {
        LOG_INFO("checkRateLimit: interface=%s, sender=%s, type=%d, max=%u/sec", logSafe(methodName).c_str(),
                 logSafe(key).c_str(), static_cast<int>(rateClass), maximum);
    } else {
        LOG_ERROR("rate limit exceeded: interface=%s, sender=%s, type=%d, max=%u/sec", logSafe(methodName).c_str(),
                  logSafe(key).c_str(), static_cast<int>(rateClass), maximum);
    }
    return admitted;
}

// Its lines are the authorisation check's own.
constexpr const char kCheckAuth[] = "checkAuth";

bool RequestChecker::isUserAdmitted(const std::string& user, const std::string& methodName)
{
    if (m_admctlEnabled) {
        return true;
    }
    if (user == kSecadmUser) {
        Logger::getInstance()->logError(kCheckAuth, __LINE__,
                                        "checkAuth failed: admctl disabled, user secadm is not allowed (user=%s)",
                                        logSafe(user).c_str());
        return false;
    }
    if (user.empty()) {
        Logger::getInstance()->logError(
            kCheckAuth, __LINE__,
            "checkAuth failed: admctl disabled, caller's user name unknown, refused as secadm would be "
            "(interface=%s)",
            logSafe(methodName).c_str());
        return false;
    }
    return true;
}

bool RequestChecker::checkAuth(CallerLookup& caller, const std::string& methodName)
{
    if (caller.sender().empty()) {
        LOG_ERROR("checkAuth: sender empty");
        return false;
    }
    try {
        const uint32_t pid = caller.pid();
        const std::string& name = caller.processName();
        const std::string& path = caller.executablePath();
        std::string errorText;
        uint32_t uid = 0;
        bool authorized = false;
        if (!caller.uid(uid)) {
            errorText = "caller uid unknown";
        } else {
            authorized = m_polkit.polkitCheckAuth(pid, uid, kLabelMgrAccessAction, errorText);
        }
        if (!authorized) {
            LOG_ERROR("checkAuth failed: interface=%s, pid=%u, name=%s, path=%s, error=%s", logSafe(methodName).c_str(),
                      pid, logSafe(name).c_str(), logSafe(path).c_str(), logSafe(errorText).c_str());
            return false;
        }
        if (!m_admctlEnabled && !isUserAdmitted(caller.userName(), methodName)) {
            return false;
        }
        LOG_INFO_CATEGORY("checkAuth succeeded: interface=%s, pid=%u, name=%s, path=%s", logSafe(methodName).c_str(),
                          pid, logSafe(name).c_str(), logSafe(path).c_str());
        return true;
    } catch (const DBus::Error& e) {
        LOG_ERROR("checkAuth dbus error: %s", logSafe(e.what()).c_str());
    } catch (const std::exception& e) {
        LOG_ERROR("checkAuth exception: %s", logSafe(e.what()).c_str());
    } catch (...) {
        LOG_ERROR("checkAuth unknown exception occurred");
    }
    return false;
}

bool RequestChecker::checkWhitelist(CallerLookup& caller, const std::string& methodName)
{
    if (caller.sender().empty()) {
        LOG_ERROR("checkWhitelist: sender empty");
        return false;
    }
    try {
        // Switched off it admits everyone: nothing about the caller is needed.
        if (!m_whitelist.isEnabled()) {
            return true;
        }
        return m_whitelist.checkWhitelist(caller.userName(), caller.executablePath(), methodName);
    } catch (const DBus::Error& e) {
        LOG_ERROR("checkWhitelist dbus error: %s", logSafe(e.what()).c_str());
    } catch (const std::exception& e) {
        LOG_ERROR("checkWhitelist exception: %s", logSafe(e.what()).c_str());
    } catch (...) {
        LOG_ERROR("checkWhitelist unknown exception occurred");
    }
    return false;
}
