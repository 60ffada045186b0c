// Genuine package managers may create files without a label from us: the
// kernel gives their files the package's label itself.
#pragma once

#include <cstdint>
#include <map>
#include <string>

enum class PackageManagerCheck {
    NotManager,  // the name is no package manager's, or no executable is known
    Genuine,     // name and executable both are a package manager's
    Spoofed,     // a package manager's name on another executable
};

// Process name to executable, for every package manager recognised.
const std::map<std::string, std::string>& packageManagerTable();
// Checks a process by its name and then its executable (the kernel's path
// attribute, else /proc/<pid>/exe), which it leaves in exe.
PackageManagerCheck checkPackageManager(int32_t pid, const std::string& name, std::string& exe);
