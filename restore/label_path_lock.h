// Serialises the read-modify-write of one label: two tasks that change
// different fields of the same label (its oid and its sid, or a directory's
// oid and its inherit flag) would otherwise each write back the field the
// other has just changed. Locks are striped by the file itself (device and
// inode), so two hard links of one file share one; no caller holds two at
// once.
#pragma once

#include <sys/stat.h>

#include <mutex>
#include <string>

// The lock of the label at path: of the link itself when ofLink, else of what
// it names. A path that cannot be stat'ed is keyed by its text.
std::mutex& labelLockOf(const std::string& path, bool ofLink = false);
std::unique_lock<std::mutex> lockLabelOfPath(const std::string& path, bool ofLink = false);
// The same lock, for a caller that has just stat'ed the file: status is
// what labelLockOf would look up.
std::unique_lock<std::mutex> lockLabelOfFile(const struct stat& status);
