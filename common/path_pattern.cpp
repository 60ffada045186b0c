#include "common/path_pattern.h"

#include <fnmatch.h>
#include <dirent.h>
#include <glob.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "common/logger.h"
#include "common/path_safety.h"

namespace fs = std::filesystem;

namespace {

void logGlobFailure(int rc, int err)
{
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
}

// glob(3) gives its directory hooks no context: the budget of the walk that
// runs on this thread.
struct WalkBudget {
    size_t entriesLeft = 0;
    bool exceeded = false;
};
thread_local WalkBudget t_walk;

// A directory whose canonical path is its own with the "." components
// dropped: no link on the way to it.
bool isCanonicalDir(const char* dir)
{
    char real[PATH_MAX];
    if (realpath(dir, real) == nullptr) {
        return false;
    }
    std::string lexical = fs::path(dir).lexically_normal().string();
    if (lexical.size() > 1 && lexical.back() == '/') {
        lexical.pop_back();
    }
    return lexical == real;
}

void* openUnlinkedDir(const char* dir)
{
    if (!isCanonicalDir(dir)) {
        LOG_WARN("searchFilesByPattern: not listing %s, reached through a symbolic link", dir);
        errno = ELOOP;
        return nullptr;
    }
    return opendir(dir);
}

struct dirent* readBudgetedDir(void* dir)
{
    if (t_walk.entriesLeft == 0) {
        t_walk.exceeded = true;
        return nullptr;
    }
    --t_walk.entriesLeft;
    return readdir(static_cast<DIR*>(dir));
}

void closeDir(void* dir)
{
    closedir(static_cast<DIR*>(dir));
}

// No link above the path; the answers for the directories are kept in
// canonicalDirs, since most results share them.
bool isBelowNoLink(const std::string& path, std::map<std::string, bool>& canonicalDirs)
{
    std::string parent = fs::path(path).parent_path().string();
    if (parent.empty()) {
        parent = "/";
    }
    const auto known = canonicalDirs.find(parent);
    if (known != canonicalDirs.end()) {
        return known->second;
    }
    return canonicalDirs[parent] = isCanonicalDir(parent.c_str());
}

// Runs glob on the pattern and hands on the results that pass the path
// safety check; false when glob failed (logged).
template <typename Take>
bool globSafePaths(const std::string& pattern, int flags, glob_t& result, Take&& take)
{
    const int rc = glob(pattern.c_str(), flags, nullptr, &result);
    if (rc != 0) {
        logGlobFailure(rc, errno);
        globfree(&result);
        return false;
    }
    for (size_t i = 0; i < result.gl_pathc; ++i) {
        const std::string path = result.gl_pathv[i];
        if (isFilePathSafe(path, false, true, true)) {
            take(path);
        } else {
            LOG_WARN("searchFilesByPattern: skipping unsafe path from glob result: %s", path.c_str());
        }
    }
    globfree(&result);
    return true;
}

}  // namespace

std::vector<std::string> searchFilesByPattern(const std::string& pattern)
{
    std::vector<std::string> out;
    glob_t result {};
    globSafePaths(pattern, GLOB_TILDE, result, [&out](const std::string& path) { out.push_back(path); });
    return out;
}

bool searchFilesByPatternBounded(const std::string& pattern, size_t maxEntriesRead, size_t maxResults,
                                 std::vector<std::string>& out)
{
    out.clear();
    glob_t result {};
    result.gl_opendir = openUnlinkedDir;
    result.gl_readdir = readBudgetedDir;
    result.gl_closedir = closeDir;
    result.gl_lstat = lstat;
    result.gl_stat = stat;
    t_walk = WalkBudget{maxEntriesRead, false};
    std::map<std::string, bool> canonicalDirs;
    globSafePaths(pattern, GLOB_ALTDIRFUNC | GLOB_NOSORT, result, [&](const std::string& path) {
        if (isBelowNoLink(path, canonicalDirs)) {
            out.push_back(path);
        } else {
            LOG_WARN("searchFilesByPattern: skipping %s, below a symbolic link", path.c_str());
        }
    });
    if (t_walk.exceeded || out.size() > maxResults) {
        LOG_ERROR("searchFilesByPattern: %s reads more than %zu entries or matches more than %zu paths",
                  pattern.c_str(), maxEntriesRead, maxResults);
        out.clear();
        return false;
    }
    std::sort(out.begin(), out.end());
    return true;
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
