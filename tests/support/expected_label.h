// Label texts and identifiers as the tests expect them, printed and hashed
// here rather than by the code under test.
#pragma once

#include <openssl/evp.h>

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

// Last 64 bits of the SM3 digest, straight from the crypto library.
inline uint64_t sm3Last64(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_get_digestbyname("SM3"), nullptr);
    uint64_t value = 0;
    for (unsigned int i = 24; i < 32; ++i) {
        value = (value << 8) | digest[i];
    }
    return value;
}
