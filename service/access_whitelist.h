// Which users, running which executables, may call which service method.
// Read once from a small sectioned text file; off unless the file says
// "enabled=true" outside any section. Nothing in the file is trimmed.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

class AccessWhitelist {
public:
    // False when the file cannot be opened; the whitelist is then off and empty.
    bool loadWhitelist(const std::string& path);
    // True admits: the user and the executable path against the section
    // named after the method, or the global users for a method without one.
    bool checkWhitelist(const std::string& user, const std::string& path, const std::string& section);

    bool isEnabled() const;

private:
    void applyEntry(const std::string& section, const std::string& key, const std::string& value);

    mutable std::mutex m_mutex;
    std::string m_configPath;
    std::map<std::string, std::set<std::string>> m_sectionUsers;
    std::map<std::string, std::set<std::string>> m_sectionPaths;
    std::set<std::string> m_globalUsers;
    bool m_enabled = false;
};
