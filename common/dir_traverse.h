// Pre-order walk of a directory tree without following links.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

// (st_dev, st_ino): inode numbers alone repeat across file systems (every
// tmpfs root is inode 1).
using DirIdentitySet = std::set<std::pair<dev_t, ino_t>>;

// Appends root and every entry below it, each directory before its contents,
// to at most 511 levels below root. A directory met again on its own chain
// (a bind mount of a directory inside itself) is skipped. 0, or -1 when the
// root cannot be opened.
int traverseDirectory(const std::string& root, std::vector<std::string>& out);

// One level of traverseDirectory. visited holds the chain from the root to
// dir. followLink lets dir itself be a link (only for the root).
int traverseDirectoryImpl(const std::string& dir, std::vector<std::string>& out, int depth, DirIdentitySet& visited,
                          bool followLink = false);
