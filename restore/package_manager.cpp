#include "restore/package_manager.h"

#include "restore/process_probe.h"

const std::map<std::string, std::string>& packageManagerTable()
{
    static const std::map<std::string, std::string> table = {
        {"dpkg", "/usr/bin/dpkg"}, {"apt", "/usr/bin/apt"}, {"apt-get", "/usr/bin/apt-get"},
        {"rpm", "/usr/bin/rpm"},   {"yum", "/usr/bin/yum"}, {"dnf", "/usr/bin/dnf"},
        {"dnf-3", "/usr/bin/dnf-3"}, {"dnf4", "/usr/bin/dnf4"},
    };
    return table;
}

PackageManagerCheck checkPackageManager(int32_t pid, const std::string& name, std::string& exe)
{
    exe.clear();
    const auto& table = packageManagerTable();
    if (table.find(name) == table.end()) {
        return PackageManagerCheck::NotManager;
    }
    if (readProcessPathAttr(pid, exe) && !exe.empty()) {
        exe = visibleExecutablePath(exe);
    }
    if (exe.empty()) {
        exe = getProcessExePath(pid);
    }
    if (exe.empty()) {
        return PackageManagerCheck::NotManager;
    }
    // Any manager's executable will do, not only the one of this name.
    for (const auto& row : table) {
        if (exe == row.second) {
            return PackageManagerCheck::Genuine;
        }
    }
    return PackageManagerCheck::Spoofed;
}
