#include "service/access_whitelist.h"

#include <fnmatch.h>

#include <fstream>
#include <sstream>

#include "common/log_text.h"
#include "common/logger.h"

namespace {

constexpr const char kKeyEnabled[] = "enabled";
constexpr const char kKeyUsers[] = "allowed_users";
constexpr const char kKeyPaths[] = "allowed_paths";

// Every piece between commas, empty ones included, except after a final comma.
void addCommaList(const std::string& value, std::set<std::string>& into)
{
    std::istringstream pieces(value);
    std::string piece;
    while (std::getline(pieces, piece, ',')) {
        into.insert(piece);
    }
}

bool isSectionHeader(const std::string& line)
{
    return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

}  // namespace

void AccessWhitelist::applyEntry(const std::string& section, const std::string& key, const std::string& value)
{
    if (value.empty()) {
        return;
    }
    if (section.empty()) {
        if (key == kKeyUsers) {
            addCommaList(value, m_globalUsers);
        }
        return;
    }
    if (key == kKeyUsers) {
        addCommaList(value, m_sectionUsers[section]);
    } else if (key == kKeyPaths) {
        addCommaList(value, m_sectionPaths[section]);
    }
}

bool AccessWhitelist::loadWhitelist(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_configPath = path;
    m_enabled = false;
    m_sectionUsers.clear();
    m_sectionPaths.clear();
    m_globalUsers.clear();

    std::ifstream file(path);
    if (!file.is_open()) {
        LOG_ERROR("Failed to open whitelist config: %s", logSafe(path).c_str());
        return false;
    }
    std::string section;
    std::string line;
    while (std::getline(file, line)) {
        const size_t comment = line.find('#');
        if (comment != std::string::npos) {
            line.erase(comment);
        }
        if (line.empty()) {
            continue;
        }
        if (isSectionHeader(line)) {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (section.empty() && key == kKeyEnabled) {
            m_enabled = value == "true";
            continue;
        }
        applyEntry(section, key, value);
    }
    return true;
}

bool AccessWhitelist::checkWhitelist(const std::string& user, const std::string& path, const std::string& section)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_enabled) {
        return true;
    }
    const auto usersIt = m_sectionUsers.find(section);
    const auto pathsIt = m_sectionPaths.find(section);
    const std::set<std::string>* users =
        usersIt != m_sectionUsers.end() && !usersIt->second.empty() ? &usersIt->second : nullptr;
    const std::set<std::string>* paths =
        pathsIt != m_sectionPaths.end() && !pathsIt->second.empty() ? &pathsIt->second : nullptr;
    if (users == nullptr && paths == nullptr) {
        return m_globalUsers.empty() || m_globalUsers.count(user) > 0;
    }
    if (users != nullptr && users->count(user) == 0) {
        LOG_ERROR("checkWhitelist failed: user %s not allowed for %s", logSafe(user).c_str(), logSafe(section).c_str());
        return false;
    }
    if (paths == nullptr) {
        return true;
    }
    for (const auto& allowed : *paths) {
        if (allowed == path || fnmatch(allowed.c_str(), path.c_str(), 0) == 0) {
            return true;
        }
    }
    LOG_ERROR("checkWhitelist failed: path %s not allowed for %s", logSafe(path).c_str(), logSafe(section).c_str());
    return false;
}

bool AccessWhitelist::isEnabled() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_enabled;
}
