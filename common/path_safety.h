// The one gate for paths that come from outside the daemon (D-Bus arguments,
// policy entries, link targets, glob results).
#pragma once

#include <string>

// True when the path may be used. Lexical tests first; the existence and
// symbolic-link tests only run when the caller refuses missing paths or links.
// Every refusal logs its reason once.
bool isFilePathSafe(const std::string& path, bool allowSymlink, bool allowWildcard, bool allowMissing);
