// Serialises the read-modify-write of one path's label: two tasks that change
// different fields of the same label (its oid and its sid, or a directory's
// oid and its inherit flag) would otherwise each write back the field the
// other has just changed. Locks are striped by the path text; no caller holds
// two at once.
#pragma once

#include <mutex>
#include <string>

std::unique_lock<std::mutex> lockLabelOfPath(const std::string& path);
