#include "common/path_pattern.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A directory that cannot be opened or read for a reason that says nothing
// about what it holds (out of descriptors, memory, an I/O error) fails the
// walk; absence, a refusal, a link swapped in and a name too long for any
// safe result only mean that nothing there can be named.
bool namesNothing(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case ELOOP:
    case ENAMETOOLONG:
        return true;
    default:
        return false;
    }
}

bool hasMagic(const std::string& component) { return component.find_first_of("*?[\\") != std::string::npos; }

// One walk of a pattern, component by component, as glob(3) would match it
// (a leading period only matched explicitly). Nothing reached through a
// symbolic link is entered: each component the walk enters was seen as a
// directory by lstat or by its listing, and is opened without following a
// link, so no path needs resolving again. Like glob(3) it holds one open
// directory at a time: a listing is read and closed before the walk
// descends, however deep the pattern.
class PatternWalk {
    static constexpr size_t kListingBuffer = 32768;

public:
    PatternWalk(size_t maxEntriesRead, const std::function<bool(const std::string&)>& take)
        : m_entriesLeft(maxEntriesRead), m_take(take)
    {
    }

    // False when the budget ran out or a directory could not be listed; a
    // stop asked by take is no failure.
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
            // "/" (or a run of slashes) names the root itself.
            offer("/", DT_DIR);
        } else {
            m_dirsOnly = pattern.back() == '/';
            walk(0);
        }
        return !m_exceeded && !m_failed;
    }

    bool exceeded() const { return m_exceeded; }

private:
    bool done() const { return m_exceeded || m_stopped; }

    void fail(const char* what, const std::string& path, int err)
    {
        LOG_ERROR("searchFilesByPattern: cannot %s %s: %s", what, logSafe(path).c_str(), strerror(err));
        m_failed = true;
    }

    // type: the entry's d_type as listed, DT_UNKNOWN when not known.
    void offer(std::string path, unsigned char type)
    {
        // As in glob(3), a pattern that ends in '/' names directories, and so do its matches.
        if (m_dirsOnly) {
            if (type == DT_UNKNOWN) {
                struct stat st {};
                type = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
            }
            if (type != DT_DIR) {
                return;
            }
            path += '/';
        }
        // A match listed as anything but a link needs the lexical checks
        // alone: the link test would lstat it again.
        const bool knownNotLink = type != DT_UNKNOWN && type != DT_LNK;
        if (!isFilePathSafe(path, knownNotLink, true, true)) {
            LOG_WARN("searchFilesByPattern: skipping unsafe path from glob result: %s", logSafe(path).c_str());
            return;
        }
        m_stopped = !m_take(path);
    }

    // The type of m_path by lstat: DT_UNKNOWN when it names nothing.
    unsigned char typeOfPath()
    {
        struct stat st {};
        if (lstat(m_path.c_str(), &st) != 0) {
            if (!namesNothing(errno)) {
                fail("look at", m_path, errno);
            }
            return DT_UNKNOWN;
        }
        return S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }

    // m_path is a directory reached without a link (the root when empty);
    // matches m_components[index] in it.
    void walk(size_t index)
    {
        const std::string& component = m_components[index];
        const bool last = index + 1 == m_components.size();
        const size_t base = m_path.size();
        if (!hasMagic(component)) {
            m_path.append("/").append(component);
            const unsigned char type = typeOfPath();
            if (type != DT_UNKNOWN) {
                if (last) {
                    offer(m_path, type);
                } else if (type == DT_LNK) {
                    LOG_WARN("searchFilesByPattern: not listing below %s, a symbolic link", logSafe(m_path).c_str());
                } else {
                    descend(index, type);
                }
            }
            m_path.resize(base);
            return;
        }
        std::vector<std::pair<std::string, unsigned char>> matches;
        if (!list(component, matches)) {
            return;
        }
        for (const auto& match : matches) {
            if (done()) {
                break;
            }
            m_path.append("/").append(match.first);
            if (last) {
                offer(m_path, match.second);
            } else {
                unsigned char type = match.second;
                if (type == DT_UNKNOWN) {
                    type = typeOfPath();
                }
                descend(index, type);
            }
            m_path.resize(base);
        }
    }

    // Goes on below m_path, a match of component index of the given type:
    // only a directory, and never "..", below which nothing could pass the
    // path safety check.
    void descend(size_t index, unsigned char type)
    {
        const bool dotDot = m_path.size() >= 3 && m_path.compare(m_path.size() - 3, 3, "/..") == 0;
        if (type == DT_DIR && !dotDot) {
            walk(index + 1);
        }
    }

    // The entries of m_path whose names match component, in directory order,
    // with their listed types; the directory is closed when this returns.
    bool list(const std::string& component, std::vector<std::pair<std::string, unsigned char>>& matches)
    {
        const char* dir = m_path.empty() ? "/" : m_path.c_str();
        const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ELOOP) {
                LOG_WARN("searchFilesByPattern: not listing %s, reached through a symbolic link", logSafe(dir).c_str());
            } else if (!namesNothing(errno)) {
                fail("list", dir, errno);
            }
            return false;
        }
        // getdents64 straight into one buffer the walk keeps: a stream per
        // directory would cost a descriptor check, a stat and an allocation.
        m_buffer.resize(kListingBuffer);
        while (!m_exceeded) {
            const ssize_t got = getdents64(fd, m_buffer.data(), m_buffer.size());
            if (got <= 0) {
                if (got < 0) {
                    fail("read", dir, errno);
                }
                break;
            }
            for (ssize_t at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(m_buffer.data() + at);
                at += entry->d_reclen;
                if (m_entriesLeft == 0) {
                    m_exceeded = true;
                    break;
                }
                --m_entriesLeft;
                if (fnmatch(component.c_str(), entry->d_name, FNM_PERIOD) == 0) {
                    matches.emplace_back(entry->d_name, entry->d_type);
                }
            }
        }
        close(fd);
        return !m_exceeded;
    }

    size_t m_entriesLeft;
    const std::function<bool(const std::string&)>& m_take;
    std::vector<std::string> m_components;
    std::string m_path;  // the directory being walked; empty for the root
    std::vector<char> m_buffer;
    bool m_dirsOnly = false;
    bool m_exceeded = false;
    bool m_failed = false;
    bool m_stopped = false;
};

}  // namespace

std::vector<std::string> searchFilesByPattern(const std::string& pattern)
{
    std::vector<std::string> out;
    glob_t result {};
    const int rc = glob(pattern.c_str(), GLOB_TILDE, nullptr, &result);
    if (rc != 0) {
        logGlobFailure(rc, errno);
    }
    for (size_t i = 0; rc == 0 && i < result.gl_pathc; ++i) {
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

bool forEachPatternMatch(const std::string& pattern, size_t maxEntriesRead,
                         const std::function<bool(const std::string&)>& take)
{
    PatternWalk walk(maxEntriesRead, take);
    const bool whole = walk.run(pattern);
    if (walk.exceeded()) {
        LOG_ERROR("searchFilesByPattern: %s reads more than %zu entries", logSafe(pattern).c_str(), maxEntriesRead);
    }
    return whole;
}

bool searchFilesByPatternBounded(const std::string& pattern, size_t maxEntriesRead, size_t maxResults,
                                 std::vector<std::string>& out)
{
    out.clear();
    const bool walked = forEachPatternMatch(pattern, maxEntriesRead, [&out, maxResults](const std::string& path) {
        out.push_back(path);
        return out.size() <= maxResults;
    });
    if (out.size() > maxResults) {
        LOG_ERROR("searchFilesByPattern: %s matches more than %zu paths", logSafe(pattern).c_str(), maxResults);
    }
    if (!walked || out.size() > maxResults) {
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
