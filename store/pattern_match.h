// Which user-set pattern speaks for a path: the greatest matching key wins.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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

inline size_t literalStartLength(const std::string& pattern)
{
    return static_cast<size_t>(std::find_if(pattern.begin(), pattern.end(), isPatternSpecial) - pattern.begin());
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

// The patterns of one immutable table by their literal start (the text
// before the first special character): a path may match only the patterns
// whose literal start it begins with (what mayMatch says), so those are
// found with one lookup per distinct length of the starts instead of a test
// of every pattern. Keeps the table.
template <typename V>
class PatternIndex {
public:
    using Table = std::shared_ptr<const std::map<std::string, V>>;
    using Entry = const std::pair<const std::string, V>*;

    PatternIndex() : PatternIndex(std::make_shared<const std::map<std::string, V>>()) {}
    explicit PatternIndex(Table table) : m_table(std::move(table))
    {
        for (const auto& entry : *m_table) {
            const size_t length = literalStartLength(entry.first);
            m_byStart[std::string_view(entry.first.data(), length)].push_back(&entry);
            m_lengths.push_back(length);
        }
        std::sort(m_lengths.begin(), m_lengths.end());
        m_lengths.erase(std::unique(m_lengths.begin(), m_lengths.end()), m_lengths.end());
    }

    const std::map<std::string, V>& table() const { return *m_table; }

    // The entries whose pattern may match path, in key order, into out.
    void candidates(std::string_view path, std::vector<Entry>& out) const
    {
        out.clear();
        for (const size_t length : m_lengths) {
            if (length > path.size()) {
                break;
            }
            const auto it = m_byStart.find(path.substr(0, length));
            if (it != m_byStart.end()) {
                out.insert(out.end(), it->second.begin(), it->second.end());
            }
        }
        std::sort(out.begin(), out.end(), [](Entry a, Entry b) { return a->first < b->first; });
    }

    // lastMatchingPattern's answer, from the candidates alone.
    bool lastMatch(const std::string& path, V& value) const
    {
        thread_local std::vector<Entry> found;
        candidates(path, found);
        for (auto it = found.rbegin(); it != found.rend(); ++it) {
            if (isWildcardMatch((*it)->first, path)) {
                value = (*it)->second;
                return true;
            }
        }
        return false;
    }

private:
    Table m_table;
    // Each start's patterns in key order; the keys point into the table.
    std::unordered_map<std::string_view, std::vector<Entry>> m_byStart;
    std::vector<size_t> m_lengths;  // distinct, ascending
};

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
