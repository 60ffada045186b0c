#include "common/log_text.h"
#include "common/path_utils.h"

#include <fnmatch.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "common/logger.h"

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool isDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

namespace fs = std::filesystem;

bool containsBackslash(const std::string& text)
{
    return text.find('\\') != std::string::npos;
}

bool containsWildcard(const std::string& text)
{
    bool escaped = false;
    for (char c : text) {
        if (escaped) {
            escaped = false;
            continue;
        }
        if (c == '\\') {
            escaped = true;
            continue;
        }
        if (c == '*' || c == '?' || c == '[' || c == ']') {
            return true;
        }
    }
    return false;
}

bool isWildcardMatch(const std::string& pattern, const std::string& path)
{
    return fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0;
}

std::string trimString(const std::string& text)
{
    static const char kBlanks[] = " \t\n\r";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string removePrefix(const std::string& text, const std::string& prefix)
{
    if (text.empty() || prefix.empty() || text.compare(0, prefix.size(), prefix) != 0) {
        return text;
    }
    return text.substr(prefix.size());
}

std::string removeBackslashes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\\') {
            out.push_back(c);
        }
    }
    return out;
}

std::string replaceBeginString(const std::string& text, const std::string& oldStr, const std::string& newStr)
{
    if (text.empty()) {
        LOG_ERROR("text is empty");
        return "";
    }
    if (oldStr.empty()) {
        LOG_ERROR("oldStr is empty");
        return text;
    }
    if (text.compare(0, oldStr.size(), oldStr) != 0) {
        return text;
    }
    return newStr + text.substr(oldStr.size());
}

void splitString(const std::string& text, char delimiter, std::vector<std::string>& out)
{
    out.clear();
    if (text.empty()) {
        LOG_DEBUG("input string is empty");
        return;
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(delimiter, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            out.emplace_back(text, start, end - start);
        }
        start = end + 1;
    }
}

std::string normalizePath(const std::string& path)
{
    if (path.empty()) {
        return path;
    }
    size_t len = path.size();
    if (len >= 2 && path[len - 2] == '/' && path[len - 1] == '*') {
        --len;
    }
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        if (path[i] == '/' && !out.empty() && out.back() == '/') {
            continue;
        }
        out.push_back(path[i]);
    }
    if (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

namespace {

// Lexical absolute form; an unreadable working directory leaves the path as it is.
std::string absoluteText(const std::string& path)
{
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    return ec ? path : abs.string();
}

}  // namespace

bool isSubPath(const std::string& dir, const std::string& path)
{
    std::string base = absoluteText(dir);
    const std::string full = absoluteText(path);
    if (base.empty() || base.back() != '/') {
        base.push_back('/');
    }
    return full.size() > base.size() && full.compare(0, base.size(), base) == 0;
}

std::string getRealPath(const std::string& path)
{
    if (path.empty()) {
        LOG_WARN("path is empty");
        return "";
    }
    try {
        std::error_code ec;
        const fs::file_status st = fs::status(path, ec);
        if (st.type() == fs::file_type::not_found) {
            LOG_WARN("file is not exists, %s", logSafe(path).c_str());
            return "";
        }
        if (ec) {
            // Not absence but e.g. a loop or a refused parent: the path cannot be resolved.
            LOG_ERROR("Resolve realpath failed for %s: %s", logSafe(path).c_str(), logSafe(ec.message()).c_str());
            return "";
        }
        const fs::path real = fs::canonical(path, ec);
        if (ec) {
            LOG_ERROR("Resolve realpath failed for %s: %s", logSafe(path).c_str(), logSafe(ec.message()).c_str());
            return "";
        }
        return real.string();
    } catch (const std::exception& e) {
        LOG_ERROR("Unexpected error in getRealPath: %s", logSafe(e.what()).c_str());
        return "";
    }
}

std::string getLinkRealPath(const std::string& path)
{
    if (path.empty()) {
        return "";
    }
    try {
        const fs::path p(path);
        fs::path parent = p.parent_path();
        if (parent.empty()) {
            parent = ".";
        }
        std::error_code ec;
        const fs::path realParent = fs::canonical(parent, ec);
        if (ec) {
            LOG_DEBUG("error: %s", logSafe(ec.message()).c_str());
            return "";
        }
        return (realParent / p.filename()).lexically_normal().string();
    } catch (const std::exception& e) {
        LOG_DEBUG("error: %s", logSafe(e.what()).c_str());
        return "";
    }
}

std::string findFirstValidParentDir(const std::string& path)
{
    if (path.empty()) {
        return "";
    }
    std::string current = path.substr(0, path.find_first_of("*?"));
    try {
        while (!current.empty()) {
            while (current.size() > 1 && current.back() == '/') {
                current.pop_back();
            }
            std::error_code ec;
            const fs::file_status st = fs::status(current, ec);
            if (st.type() == fs::file_type::directory) {
                return current;
            }
            if (ec && st.type() != fs::file_type::not_found) {
                LOG_ERROR("filesystem error: %s", logSafe(ec.message()).c_str());
                return "";
            }
            const std::string parent = fs::path(current).parent_path().string();
            if (parent == current) {
                return "";
            }
            current = parent;
        }
    } catch (const std::exception& e) {
        LOG_ERROR("filesystem error: %s", logSafe(e.what()).c_str());
    }
    return "";
}
