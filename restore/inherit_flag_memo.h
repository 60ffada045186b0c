// The inherit flags one policy call has set on the directories of its paths.
// A directory holding thousands of policy files would otherwise have its
// label read (and the path walked five times) once per file. Results are
// kept for the call only: another writer may change a label meanwhile, as
// it may between two reads.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <shared_mutex>
#include <string>

class InheritFlagMemo {
public:
    // setParentDirInheritFlag(path, kInheritFlagFull) for a path that exists
    // with status st; a directory already answered gives its answer again.
    int setFull(const std::string& path, const struct stat& st);
    // A label was written on the directory dir: what was kept for it no
    // longer holds.
    void forget(const std::string& dir);

private:
    std::shared_mutex m_mutex;
    std::map<std::string, int, std::less<>> m_results;
    // Counts forget calls: an answer computed across one is not kept.
    uint64_t m_forgets = 0;
};
