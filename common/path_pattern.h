// Expansion of wildcard paths against the file system.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// glob(3) with tilde expansion, in glob's order; results that fail the path
// safety check (symbolic links among them) are left out.
std::vector<std::string> searchFilesByPattern(const std::string& pattern);
// The same expansion for patterns a client sends, sorted: no directory
// reached through a symbolic link is listed, and a result below one is left
// out, so nothing outside the matched paths is named (a dangling link, which
// the safety check lets through, names only itself). A pattern without
// components ("/") names the root.
// False (logged) when the walk would read more than maxEntriesRead directory
// entries, give more than maxResults paths, or meets a directory it cannot
// list for a reason other than absence or a refusal (out of descriptors or
// memory, an I/O error); out then holds nothing.
bool searchFilesByPatternBounded(const std::string& pattern, size_t maxEntriesRead, size_t maxResults,
                                 std::vector<std::string>& out);
// The matches of searchFilesByPatternBounded handed to take one by one as
// the walk finds them, in directory order, until take answers false. False
// (logged) when the walk would read more than maxEntriesRead entries or a
// directory could not be listed; the walk goes on past such a directory.
bool forEachPatternMatch(const std::string& pattern, size_t maxEntriesRead,
                         const std::function<bool(const std::string&)>& take);
// Entries of the pattern's directory whose name matches its last component,
// in directory order. Throws std::filesystem::filesystem_error when that
// directory cannot be listed.
std::vector<std::string> listMatchingEntries(const std::string& pattern);
// Entries whose last component holds '*' replaced by their matches; the whole
// sorted by absolute path. Throws like listMatchingEntries.
std::vector<std::string> expandWildcardPaths(const std::vector<std::string>& paths);
