#include "store/hmac_key.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/logger.h"
#include "common/paths.h"
#include "store/signed_data_file.h"

namespace {

constexpr size_t kKeyLength = 32;

std::string g_hmacKey;
std::once_flag g_hmacKeyOnce;

enum class KeyRead { Ok, Absent, Refused };

// Absent covers a missing or empty file, the only cases that allow a new key:
// replacing a key that merely failed to read would orphan every signature.
KeyRead readKeyFile(std::string& key)
{
    key.clear();
    struct stat st;
    if (lstat(paths::kHmacKey, &st) != 0) {
        if (errno == ENOENT) {
            return KeyRead::Absent;
        }
        LOG_ERROR("Failed to read HMAC key file: %s", paths::kHmacKey);
        return KeyRead::Refused;
    }
    if (S_ISLNK(st.st_mode)) {
        LOG_ERROR("HMAC key file is a symlink, refusing to follow: %s", paths::kHmacKey);
        return KeyRead::Refused;
    }
    switch (readLockedFile(paths::kHmacKey, key)) {
    case ReadStatus::Ok:
        return key.empty() ? KeyRead::Absent : KeyRead::Ok;
    case ReadStatus::Missing:
        return KeyRead::Absent;
    default:
        LOG_ERROR("Failed to read HMAC key file: %s", paths::kHmacKey);
        return KeyRead::Refused;
    }
}

std::string loadOrCreateKey()
{
    std::string key;
    KeyRead state = readKeyFile(key);
    if (state == KeyRead::Ok) {
        LOG_DEBUG("HMAC key loaded from dedicated key file");
        return key;
    }
    if (state == KeyRead::Refused) {
        return "";
    }
    // Another process may be creating the key right now; look again under the lock.
    DataDirLock lock(true);
    if (!lock.locked()) {
        LOG_ERROR("Failed to create HMAC key file: %s", paths::kHmacKey);
        return "";
    }
    state = readKeyFile(key);
    if (state == KeyRead::Ok) {
        LOG_DEBUG("HMAC key loaded from dedicated key file");
        return key;
    }
    if (state == KeyRead::Refused) {
        return "";
    }
    key.assign(kKeyLength, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&key[0]), static_cast<int>(kKeyLength)) != 1) {
        LOG_ERROR("Failed to generate random HMAC key");
        return "";
    }
    std::string error;
    if (writeNewDataFile(paths::kHmacKeyTmp, key, error) != 0) {
        LOG_ERROR("Failed to create HMAC key file: %s", paths::kHmacKey);
        return "";
    }
    LOG_INFO("Generated new HMAC key file with 0600 permissions");
    // Signatures under the old key are durably gone before the new key
    // appears: a crash in between must leave the data unsigned, never
    // signed wrongly, which a load would take for tampering and delete.
    LOG_INFO("Cleaning up old signature and migration marker files due to new HMAC key generation");
    for (const char* stale : {paths::kPkgFileDataSig, paths::kIdentityDataSig, paths::kPkgFileDataSigPending,
                              paths::kIdentityDataSigPending, paths::kPkgMigrationMarker,
                              paths::kIdentityMigrationMarker}) {
        if (unlink(stale) != 0 && errno != ENOENT) {
            LOG_ERROR("Failed to remove %s: %s", stale, strerror(errno));
            unlink(paths::kHmacKeyTmp);
            LOG_ERROR("Failed to create HMAC key file: %s", paths::kHmacKey);
            return "";
        }
    }
    syncDataDir();
    if (renameDataFile(paths::kHmacKeyTmp, paths::kHmacKey, error) != 0) {
        unlink(paths::kHmacKeyTmp);
        LOG_ERROR("Failed to create HMAC key file: %s", paths::kHmacKey);
        return "";
    }
    LOG_DEBUG("HMAC key loaded from dedicated key file");
    return key;
}

}  // namespace

std::string getHmacKey()
{
    std::call_once(g_hmacKeyOnce, [] { g_hmacKey = loadOrCreateKey(); });
    return g_hmacKey;
}
