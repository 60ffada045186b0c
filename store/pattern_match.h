// Which user-set pattern speaks for a path: the greatest matching key wins.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "common/path_utils.h"
#include "common/sync_map.h"

namespace pattern_match {

// Every byte before the first character that fnmatch treats specially (or
// the NUL that ends its C string) must equal the path's byte at that place,
// so a pattern whose literal start is no prefix of the path cannot match it.
inline bool isPatternSpecial(char c)
{
    return c == '*' || c == '?' || c == '[' || c == '\\' || c == '\0';
}

inline bool mayMatch(const std::string& pattern, const std::string& path)
{
    const size_t shorter = std::min(pattern.size(), path.size());
    for (size_t i = 0; i < shorter; ++i) {
        if (isPatternSpecial(pattern[i])) {
            return true;
        }
        if (pattern[i] != path[i]) {
            return false;
        }
    }
    // Where the path ends first, a literal byte left in the pattern cannot
    // match; a special one ('*' matching nothing) may.
    return pattern.size() <= path.size() || isPatternSpecial(pattern[shorter]);
}

// The value of the greatest pattern key that matches the path. Patterns are
// scanned on an immutable copy, so no lock is held while they are matched.
template <typename V, typename OnMatch>
bool lastMatchingPattern(const std::map<std::string, V>& patterns, const std::string& path, V& value,
                         OnMatch&& onMatch)
{
    bool matched = false;
    for (const auto& entry : patterns) {
        if (mayMatch(entry.first, path) && isWildcardMatch(entry.first, path)) {
            onMatch(entry.first);
            value = entry.second;
            matched = true;
        }
    }
    return matched;
}

template <typename V, typename OnMatch>
bool lastMatchingPattern(const SyncMap<std::string, V>& patterns, const std::string& path, V& value,
                         OnMatch&& onMatch)
{
    return lastMatchingPattern(*patterns.snapshot(), path, value, std::forward<OnMatch>(onMatch));
}

template <typename Patterns, typename V>
bool lastMatchingPattern(const Patterns& patterns, const std::string& path, V& value)
{
    return lastMatchingPattern(patterns, path, value, [](const std::string&) {});
}

}  // namespace pattern_match
