// Path and string text helpers, and the helpers that resolve paths against
// the file system. Paths are byte strings; nothing is re-encoded. All are
// stateless and safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

bool containsBackslash(const std::string& text);
// Plain byte prefix.
bool startsWith(std::string_view text, std::string_view prefix);
// A directory entry's "." or "..".
bool isDotOrDotDot(const char* name);
// One of * ? [ ] that no backslash escapes.
bool containsWildcard(const std::string& text);
// fnmatch with FNM_PATHNAME; the pattern comes first.
bool isWildcardMatch(const std::string& pattern, const std::string& path);

// Without leading and trailing blanks, tabs, newlines and carriage returns.
std::string trimString(const std::string& text);
// The rest after prefix when text begins with it; otherwise text unchanged.
std::string removePrefix(const std::string& text, const std::string& prefix);
std::string removeBackslashes(const std::string& text);
// newStr + rest when text begins with oldStr (plain byte prefix).
std::string replaceBeginString(const std::string& text, const std::string& oldStr, const std::string& newStr);
// Pieces between delimiters, empty pieces dropped; out is cleared first.
void splitString(const std::string& text, char delimiter, std::vector<std::string>& out);
// Lexical: a final "/*" loses its '*', runs of '/' collapse, a trailing '/'
// goes (except for "/"). Dot components stay.
std::string normalizePath(const std::string& path);
// True when path lies strictly below dir (lexical; relative forms are taken
// against the working directory; no links resolved).
bool isSubPath(const std::string& dir, const std::string& path);

// Canonical path with every link resolved; "" when empty, missing or
// unresolvable (each logged).
std::string getRealPath(const std::string& path);
// The entry's own path with the links above it resolved, the entry itself
// not followed; "" when the parent does not resolve.
std::string getLinkRealPath(const std::string& path);
// Nearest existing directory at or above the text before the first * or ?.
std::string findFirstValidParentDir(const std::string& path);
