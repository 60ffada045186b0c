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
#include <functional>
#include <vector>

#include "common/log_text.h"
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

// A directory whose canonical path is its own with the "." components
// dropped: no link on the way to it.
bool isCanonicalDir(const std::string& dir)
{
    char real[PATH_MAX];
    if (realpath(dir.c_str(), real) == nullptr) {
        return false;
    }
    std::string lexical = fs::path(dir).lexically_normal().string();
    if (lexical.size() > 1 && lexical.back() == '/') {
        lexical.pop_back();
    }
    return lexical == real;
}

bool hasMagic(const std::string& component) { return component.find_first_of("*?[\\") != std::string::npos; }

std::string joinPath(const std::string& dir, const std::string& name)
{
    return dir == "/" ? dir + name : dir + "/" + name;
}

// One walk of a pattern, component by component, as glob(3) would match it
// (a leading period only matched explicitly), with no directory entered or
// listed that is reached through a symbolic link.
class PatternWalk {
public:
    PatternWalk(size_t maxEntriesRead, const std::function<bool(const std::string&)>& take)
        : m_entriesLeft(maxEntriesRead), m_take(take)
    {
    }

    // False when the budget ran out or take asked to stop.
    bool run(const std::string& pattern)
    {
        size_t begin = 0;
        while (begin < pattern.size()) {
            const size_t end = std::min(pattern.find('/', begin), pattern.size());
            if (end > begin) {
                m_components.push_back(pattern.substr(begin, end - begin));
            }
            begin = end + 1;
        }
        if (m_components.empty()) {
            return true;
        }
        m_dirsOnly = pattern.back() == '/';
        walk("/", 0);
        return !m_exceeded && !m_stopped;
    }

    bool exceeded() const { return m_exceeded; }

private:
    bool done() const { return m_exceeded || m_stopped; }

    void offer(std::string path)
    {
        // As in glob(3), a pattern that ends in '/' names directories, and so do its matches.
        if (m_dirsOnly) {
            struct stat st {};
            if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return;
            }
            path += '/';
        }
        if (!isFilePathSafe(path, false, true, true)) {
            LOG_WARN("searchFilesByPattern: skipping unsafe path from glob result: %s", logSafe(path).c_str());
            return;
        }
        m_stopped = !m_take(path);
    }

    void walk(const std::string& dir, size_t index)
    {
        const std::string& component = m_components[index];
        const bool last = index + 1 == m_components.size();
        if (!hasMagic(component)) {
            const std::string child = joinPath(dir, component);
            struct stat st {};
            if (lstat(child.c_str(), &st) != 0) {
                return;
            }
            if (!last) {
                walk(child, index + 1);
            } else if (isCanonicalDir(dir)) {
                offer(child);
            } else {
                LOG_WARN("searchFilesByPattern: skipping %s, below a symbolic link", logSafe(child).c_str());
            }
            return;
        }
        if (!isCanonicalDir(dir)) {
            LOG_WARN("searchFilesByPattern: not listing %s, reached through a symbolic link", logSafe(dir).c_str());
            return;
        }
        DIR* stream = opendir(dir.c_str());
        if (stream == nullptr) {
            return;
        }
        while (!done()) {
            if (m_entriesLeft == 0) {
                m_exceeded = true;
                break;
            }
            --m_entriesLeft;
            const dirent* entry = readdir(stream);
            if (entry == nullptr) {
                break;
            }
            if (fnmatch(component.c_str(), entry->d_name, FNM_PERIOD) != 0) {
                continue;
            }
            const std::string child = joinPath(dir, entry->d_name);
            if (last) {
                offer(child);
                continue;
            }
            struct stat st {};
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                walk(child, index + 1);
            }
        }
        closedir(stream);
    }

    size_t m_entriesLeft;
    const std::function<bool(const std::string&)>& m_take;
    std::vector<std::string> m_components;
    bool m_dirsOnly = false;
    bool m_exceeded = false;
    bool m_stopped = false;
};

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

bool forEachPatternMatch(const std::string& pattern, size_t maxEntriesRead,
                         const std::function<bool(const std::string&)>& take)
{
    PatternWalk walk(maxEntriesRead, take);
    if (!walk.run(pattern) && walk.exceeded()) {
        LOG_ERROR("searchFilesByPattern: %s reads more than %zu entries", logSafe(pattern).c_str(), maxEntriesRead);
        return false;
    }
    return true;
}

bool searchFilesByPatternBounded(const std::string& pattern, size_t maxEntriesRead, size_t maxResults,
                                 std::vector<std::string>& out)
{
    out.clear();
    const bool walked = forEachPatternMatch(pattern, maxEntriesRead, [&out, maxResults](const std::string& path) {
        out.push_back(path);
        return out.size() <= maxResults;
    });
    if (!walked || out.size() > maxResults) {
        LOG_ERROR("searchFilesByPattern: %s reads more than %zu entries or matches more than %zu paths",
                  logSafe(pattern).c_str(), maxEntriesRead, maxResults);
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
