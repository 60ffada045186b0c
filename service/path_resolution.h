// Paths that clients send, turned into the paths whose identity is looked up.
#pragma once

#include <string>

// The canonical absolute form of path, also when its last components do not
// exist yet (the canonical existing parent followed by the rest as given);
// the input unchanged when nothing of it resolves.
std::string checkAndHandlePath(const std::string& path);
