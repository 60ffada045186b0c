// Label texts as the tests expect them, printed here rather than by the codec
// under test.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

struct ExpectedId {
    uint64_t pkg = 0;
    uint64_t file = 0;
    uint64_t path = 0;
};

inline std::string labelText(ExpectedId sid, uint32_t tid, ExpectedId oid, uint32_t flag, ExpectedId createOid = {})
{
    char text[256];
    snprintf(text, sizeof(text),
             "%016" PRIx64 "-%016" PRIx64 "-%016" PRIx64 ":%08x:%016" PRIx64 "-%016" PRIx64 "-%016" PRIx64
             ":%08x:%016" PRIx64 "-%016" PRIx64 "-%016" PRIx64,
             sid.pkg, sid.file, sid.path, tid, oid.pkg, oid.file, oid.path, flag, createOid.pkg, createOid.file,
             createOid.path);
    return text;
}
