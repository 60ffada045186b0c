#include "common/path_pattern.h"

#include <fnmatch.h>
#include <glob.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/logger.h"
#include "common/path_safety.h"

namespace fs = std::filesystem;

std::vector<std::string> searchFilesByPattern(const std::string& pattern)
{
    std::vector<std::string> out;
    glob_t result {};
    const int rc = glob(pattern.c_str(), GLOB_TILDE, nullptr, &result);
    if (rc != 0) {
        const int err = errno;
        switch (rc) {
        case GLOB_NOSPACE:
            LOG_ERROR("Ran out of memory.");
            break;
        case GLOB_ABORTED:
            LOG_ERROR("Read error. %s", strerror(err));
            break;
        case GLOB_NOMATCH:
            LOG_ERROR("No matches found.");
            break;
        case GLOB_NOSYS:
            LOG_ERROR("Not implemented.");
            break;
        default:
            LOG_ERROR("unknown error");
            break;
        }
        globfree(&result);
        return out;
    }
    for (size_t i = 0; i < result.gl_pathc; ++i) {
        const std::string path = result.gl_pathv[i];
        if (isFilePathSafe(path, false, true, true)) {
            out.push_back(path);
        } else {
            LOG_WARN("searchFilesByPattern: skipping unsafe path from glob result: %s", path.c_str());
        }
    }
    globfree(&result);
    return out;
}

std::vector<std::string> listMatchingEntries(const std::string& pattern)
{
    const fs::path patternPath(pattern);
    const std::string name = patternPath.filename().string();
    std::vector<std::string> out;
    for (const fs::directory_entry& entry : fs::directory_iterator(patternPath.parent_path())) {
        if (fnmatch(name.c_str(), entry.path().filename().c_str(), FNM_PATHNAME) == 0) {
            out.push_back(entry.path().string());
        }
    }
    return out;
}

std::vector<std::string> expandWildcardPaths(const std::vector<std::string>& paths)
{
    std::vector<std::string> out;
    for (const std::string& path : paths) {
        const fs::path p(path);
        if (p.has_filename() && p.filename().string().find('*') != std::string::npos) {
            const std::vector<std::string> matches = listMatchingEntries(path);
            out.insert(out.end(), matches.begin(), matches.end());
        } else {
            out.push_back(path);
        }
    }
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(out.size());
    for (std::string& path : out) {
        keyed.emplace_back(fs::absolute(path).string(), std::move(path));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    out.clear();
    for (auto& item : keyed) {
        out.push_back(std::move(item.second));
    }
    return out;
}
