// The identity triple every label is made of. Printed "%016lx-%016lx-%016lx";
// exchanged over D-Bus as a{st} with the keys "pkg_id", "file_id", "path_id".
#pragma once

#include <cstdint>

struct vetu_id_t {
    uint64_t pkg_id = 0;   // package identifier
    uint64_t file_id = 0;  // last 64 bits of the SM3 digest of the path
    uint64_t path_id = 0;  // links a policy path to its parent policy path in the kernel

    bool operator==(const vetu_id_t& other) const
    {
        return pkg_id == other.pkg_id && file_id == other.file_id && path_id == other.path_id;
    }
    bool operator!=(const vetu_id_t& other) const { return !(*this == other); }
};
