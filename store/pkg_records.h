// The package records the store keeps and pkg_file_data.bin holds: a
// package's identifier and type, a path's owning package.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

struct PkgIdInfo {
    uint64_t pkgId = 0;
    uint32_t pkgType = 0;
};

struct FilePkgInfo {
    std::string pkgName;
    uint32_t pkgType = 0;
};

// All package data of the store at once, as saved and loaded.
struct PkgFileData {
    std::map<std::string, PkgIdInfo> pkgNameToId;
    std::map<uint64_t, std::string> pkgIdToName;
    std::map<std::string, FilePkgInfo> filePathToPkgName;
    std::set<std::string> cachedParentDirs;
};
