// The paths a client sends, turned into the paths whose identity is looked
// up or changed. Stateless; safe on any thread; none throws.
#pragma once

#include <cstdint>
#include <string>

class VetuRestoreInit;

// Canonical absolute form of path, also when path does not exist yet: the
// nearest existing ancestor is resolved and the rest appended unchanged.
// The input itself when nothing of it exists or resolving fails.
std::string checkAndHandlePath(const std::string& path);

// Absolute path of the target of the symbolic link at linkPath (a relative
// target joined to the link's directory, not normalised); "" when linkPath
// is no readable link or the target fails the path safety check.
std::string getLnkTargetFilePath(const std::string& linkPath);

// The subject (useSid) or object path identifier the store holds for path;
// all ones when it holds none or 0.
uint64_t getPathIdForFile(VetuRestoreInit& store, const std::string& path, bool useSid);
