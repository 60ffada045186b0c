#include "store/signed_data_file.h"

#include <cerrno>
#include <cstring>
#include <future>
#include <system_error>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log_text.h"
#include "common/sm3_hash.h"
#include "common/logger.h"
#include "common/paths.h"

const SignedDataFile kPkgDataFile = {
    paths::kPkgFileData,  paths::kPkgFileDataTmp,     paths::kPkgFileDataSig,
    paths::kPkgFileDataSigPending, paths::kPkgMigrationMarker, paths::kPkgMigrationMarkerTmp,
};

const SignedDataFile kIdentityDataFile = {
    paths::kIdentityData, paths::kIdentityDataTmp, paths::kIdentityDataSig,
    paths::kIdentityDataSigPending, paths::kIdentityMigrationMarker, paths::kIdentityMigrationMarkerTmp,
};

const SignedDataTexts kPkgDataTexts = {
    "Failed to open data file: ",
    "Failed to lock data file for reading: ",
    "Failed to stat data file: ",
    "Failed to read data file: ",
    "Signature file not found after migration, data may be tampered",
    "Deleting potentially tampered data file and signature file",
    "Signature file not found, performing migration from old version",
    "HMAC-SM3 signature verification failed, data may be tampered",
    "Deleting corrupted data file and signature file",
    "HMAC-SM3 signature verification passed",
    "Migration from old version completed, generating signature and migration marker",
    "Signature file generated successfully",
    "Failed to create signature file",
    "load data error: ",
    "Deleting corrupted pkg file data to allow fresh start",
    false,
};

const SignedDataTexts kIdentityDataTexts = {
    "Failed to open identity data file: ",
    "Failed to lock identity data file for reading: ",
    "Failed to stat identity data file: ",
    "Failed to read identity data file: ",
    "Signature file not found for identity data after migration, data may be tampered",
    "Deleting potentially tampered identity data file and signature file",
    "Signature file not found for identity data, performing migration from old version",
    "HMAC-SM3 signature verification failed for identity data, data may be tampered",
    "Deleting corrupted identity data file and signature file",
    "HMAC-SM3 signature verification passed for identity data",
    "Migration from old version completed for identity data, generating signature and migration marker",
    "Identity data signature file generated successfully",
    "Failed to create identity data signature file",
    "load indentity data error: ",
    nullptr,
    true,
};

namespace {

// Megabyte steps keep the system calls few.
constexpr size_t kReleaseStep = size_t(1) << 20;

size_t pageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Reads a whole regular file under a shared lock into the room that
// room(size) gives, size being what fstat reports.
template <class Room>
ReadStatus readLocked(const char* path, Room room)
{
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? ReadStatus::Missing : ReadStatus::OpenFailed;
    }
    ReadStatus status = ReadStatus::Ok;
    struct stat st;
    if (flock(fd, LOCK_SH) != 0) {
        status = ReadStatus::LockFailed;
    } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        status = ReadStatus::StatFailed;
    } else {
        const size_t size = static_cast<size_t>(st.st_size);
        char* into = room(size);
        size_t done = 0;
        if (into == nullptr && size > 0) {
            status = ReadStatus::ReadFailed;
        }
        while (status == ReadStatus::Ok && done < size) {
            const ssize_t n = read(fd, into + done, size - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                status = ReadStatus::ReadFailed;
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    close(fd);  // drops the lock
    return status;
}

}  // namespace

DataFileBytes::~DataFileBytes()
{
    allocate(0);
}

std::string_view DataFileBytes::view() const
{
    // Never a null pointer, not even for no bytes.
    return m_data == nullptr ? std::string_view("", 0) : std::string_view(m_data, m_size);
}

char* DataFileBytes::allocate(size_t size)
{
    if (m_data != nullptr) {
        munmap(m_data, m_size);
    }
    m_data = nullptr;
    m_size = 0;
    m_released = 0;
    if (size == 0) {
        return nullptr;
    }
    void* room = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) {
        return nullptr;
    }
    m_data = static_cast<char*>(room);
    m_size = size;
    return m_data;
}

void DataFileBytes::seal()
{
    // What was checked cannot be changed by a stray write afterwards.
    if (m_data != nullptr) {
        mprotect(m_data, m_size, PROT_READ);
    }
}

void DataFileBytes::release(size_t offset)
{
    if (m_data == nullptr || offset <= m_released) {
        return;
    }
    size_t end;
    if (offset >= m_size) {
        end = (m_size + pageSize() - 1) / pageSize() * pageSize();
    } else if (offset - m_released < kReleaseStep) {
        return;
    } else {
        end = offset / pageSize() * pageSize();
    }
    if (end > m_released && madvise(m_data + m_released, end - m_released, MADV_DONTNEED) == 0) {
        m_released = end;
    }
}

ReadStatus readLockedFile(const char* path, std::string& out)
{
    out.clear();
    const ReadStatus status = readLocked(path, [&out](size_t size) {
        out.resize(size);
        return &out[0];
    });
    if (status != ReadStatus::Ok) {
        out.clear();
    }
    return status;
}

ReadStatus readLockedFile(const char* path, DataFileBytes& out)
{
    const ReadStatus status = readLocked(path, [&out](size_t size) { return out.allocate(size); });
    if (status == ReadStatus::Ok) {
        out.seal();
    } else {
        out.allocate(0);
    }
    return status;
}

namespace {

std::string withPath(const char* text, const char* path)
{
    return std::string(text) + path;
}

bool existsFollowing(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

void removeFile(const char* path)
{
    if (unlink(path) != 0 && errno != ENOENT) {
        LOG_ERROR("Failed to remove %s: %s", path, strerror(errno));
    }
}

std::string markerText()
{
    char when[64] = {0};
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr || strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local) == 0) {
        when[0] = '\0';
    }
    return std::string("Signature migration completed on ") + when;
}

// Signs the migrated bytes and only then writes the marker: a marker without
// a signature would make the next load delete good data. The signature was
// made before the parser could release the bytes.
void finishMigration(const SignedDataFile& file, const SignedDataTexts& texts, const std::string& sig)
{
    LOG_INFO("%s", texts.migrationCompleted);
    std::string error;
    if (sig.empty() || writeNewDataFile(file.sigPending, sig, error) != 0 ||
        renameDataFile(file.sigPending, file.sig, error) != 0) {
        if (!error.empty()) {
            LOG_ERROR("%s", logSafe(error).c_str());
        }
        removeFile(file.sigPending);
        LOG_ERROR("%s", texts.sigGenerateFailed);
        return;
    }
    LOG_INFO("%s", texts.sigGenerated);
    if (existsFollowing(file.marker)) {
        return;
    }
    if (writeNewDataFile(file.markerTmp, markerText(), error) != 0 ||
        renameDataFile(file.markerTmp, file.marker, error) != 0) {
        LOG_ERROR("%s", logSafe(error).c_str());
        removeFile(file.markerTmp);
        LOG_ERROR("Failed to create migration marker");
        return;
    }
    LOG_INFO("Migration marker created: %s", file.marker);
}

constexpr int kNeedExclusive = 1;

// One pass of a load. Under the shared lock it returns kNeedExclusive as soon
// as it would change a file, and the load starts over under the exclusive one.
int loadPass(const SignedDataFile& file, const SignedDataTexts& texts, const std::string& key,
             const SignedDataParser& parse, bool exclusive)
{
    DataFileBytes bytes;
    switch (readLockedFile(file.data, bytes)) {
    case ReadStatus::Ok:
        break;
    case ReadStatus::Missing:
    case ReadStatus::OpenFailed:
        LOG_ERROR("%s", withPath(texts.openFailed, file.data).c_str());
        return -1;
    case ReadStatus::LockFailed:
        LOG_ERROR("%s", withPath(texts.lockFailed, file.data).c_str());
        return -1;
    case ReadStatus::StatFailed:
        LOG_ERROR("%s", withPath(texts.statFailed, file.data).c_str());
        return -1;
    case ReadStatus::ReadFailed:
        LOG_ERROR("%s", withPath(texts.readFailed, file.data).c_str());
        return -1;
    }

    // A store that died between renaming the data and its signature left the
    // new signature pending: it completes the pair when it fits the data.
    std::string pending;
    const ReadStatus pendingStatus = readLockedFile(file.sigPending, pending);
    if (pendingStatus != ReadStatus::Missing) {
        if (!exclusive) {
            return kNeedExclusive;
        }
        std::string error;
        if (pendingStatus == ReadStatus::Ok && !pending.empty() && verifyHMACSM3Signature(bytes.view(), key, pending)) {
            if (renameDataFile(file.sigPending, file.sig, error) != 0) {
                LOG_ERROR("%s", logSafe(error).c_str());
                return -1;
            }
            LOG_INFO("Signature of %s completed from an interrupted store", file.data);
        } else {
            removeFile(file.sigPending);
        }
    }

    std::string sig;
    switch (readLockedFile(file.sig, sig)) {
    case ReadStatus::Ok:
        LOG_INFO("Signature file %s opened, size: %zu bytes", file.sig, sig.size());
        break;
    case ReadStatus::Missing:
        LOG_INFO("Signature file %s not found", file.sig);
        break;
    default:
        // Only a missing or empty signature means "never signed".
        LOG_ERROR("Failed to read signature file: %s", file.sig);
        return -1;
    }

    bool migration = false;
    if (sig.empty()) {
        if (!exclusive) {
            return kNeedExclusive;
        }
        if (existsFollowing(file.marker)) {
            LOG_ERROR("%s", texts.sigMissingAfterMigration);
            LOG_ERROR("%s", texts.deletingTampered);
            removeFile(file.data);
            removeFile(file.sig);
            return -1;
        }
        LOG_WARN("%s", texts.migrating);
        migration = true;
    } else if (!verifyHMACSM3Signature(bytes.view(), key, sig)) {
        if (!exclusive) {
            return kNeedExclusive;
        }
        LOG_ERROR("%s", texts.verifyFailed);
        LOG_ERROR("%s", texts.deletingCorrupted);
        removeFile(file.data);
        removeFile(file.sig);
        return -1;
    } else {
        LOG_INFO("%s", texts.verifyPassed);
    }

    const std::string migrationSig = migration ? getHMACSM3Signature(bytes.view(), key) : std::string();
    std::string error;
    ParseOutcome outcome;
    try {
        outcome = parse(bytes, error);
    } catch (const std::exception& e) {
        outcome = ParseOutcome::Unparsable;
        error = e.what();
    }
    if (outcome == ParseOutcome::Unparsable) {
        if (texts.deletingUnparsable != nullptr && !exclusive) {
            return kNeedExclusive;
        }
        LOG_ERROR("%s%s", texts.parseError, logSafe(error).c_str());
        if (texts.deletingUnparsable != nullptr) {
            LOG_WARN("%s", texts.deletingUnparsable);
            removeFile(file.data);
            removeFile(file.sig);
        }
        return -1;
    }
    if (outcome == ParseOutcome::Rejected) {
        return -1;
    }
    if (migration) {
        finishMigration(file, texts, migrationSig);
    }
    return 0;
}

}  // namespace

DataDirLock::DataDirLock(bool exclusive) : m_fd(-1)
{
    const int fd = open(paths::kDataDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    int rc;
    do {
        rc = flock(fd, exclusive ? LOCK_EX : LOCK_SH);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd);
        return;
    }
    m_fd = fd;
}

DataDirLock::~DataDirLock()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

void syncDataDir()
{
    const int fd = open(paths::kDataDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

int writeNewDataFile(const char* path, const std::string& bytes, std::string& error)
{
    if (unlink(path) != 0 && errno != ENOENT) {
        error = withPath("can not open file: ", path);
        return -1;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = withPath("can not open file: ", path);
        return -1;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    const bool ok = done == bytes.size() && fsync(fd) == 0;
    if (close(fd) != 0 || !ok) {
        error = withPath("failed to write file: ", path);
        unlink(path);
        return -1;
    }
    return 0;
}

int renameDataFile(const char* from, const char* to, std::string& error)
{
    if (rename(from, to) != 0) {
        error = withPath("failed to rename file: ", to);
        return -1;
    }
    syncDataDir();
    return 0;
}

int loadSignedData(const SignedDataFile& file, const SignedDataTexts& texts, const std::string& key,
                   const SignedDataParser& parse)
{
    if (texts.silentWhenMissing) {
        struct stat st;
        if (lstat(file.data, &st) != 0 && errno == ENOENT) {
            return -1;
        }
    }
    // Without the key nothing can be told apart from tampering; deleting or
    // re-signing would destroy good data.
    if (key.empty()) {
        LOG_ERROR("HMAC key unavailable, not loading %s", file.data);
        return -1;
    }
    {
        DataDirLock lock(false);
        if (!lock.locked()) {
            LOG_ERROR("%s", withPath(texts.lockFailed, file.data).c_str());
            return -1;
        }
        const int rc = loadPass(file, texts, key, parse, false);
        if (rc != kNeedExclusive) {
            return rc;
        }
    }
    DataDirLock lock(true);
    if (!lock.locked()) {
        LOG_ERROR("%s", withPath(texts.lockFailed, file.data).c_str());
        return -1;
    }
    return loadPass(file, texts, key, parse, true) == 0 ? 0 : -1;
}

int storeSignedData(const SignedDataFile& file, const std::string& key, const std::string& bytes, std::string& error)
{
    if (key.empty()) {
        error = "HMAC key unavailable";
        return -1;
    }
    // Signed from memory: what is signed is exactly what gets written. The
    // signature is computed while the data file is written and synced, as
    // neither needs the other; every way out waits for it.
    const auto sign = [&bytes, &key] { return getHMACSM3Signature(bytes, key); };
    std::future<std::string> signing;
    try {
        signing = std::async(std::launch::async, sign);
    } catch (const std::system_error&) {
        signing = std::async(std::launch::deferred, sign);
    }
    DataDirLock lock(true);
    if (!lock.locked()) {
        error = withPath("failed to lock file: ", file.data);
        return -1;
    }
    if (writeNewDataFile(file.dataTmp, bytes, error) != 0) {
        return -1;
    }
    const std::string sig = signing.get();
    if (sig.empty()) {
        LOG_ERROR("Failed to generate HMAC-SM3 signature");
        error = "Failed to generate HMAC-SM3 signature";
        unlink(file.dataTmp);
        return -1;
    }
    if (writeNewDataFile(file.sigPending, sig, error) != 0) {
        error = withPath("can not open signature file: ", file.sig);
        unlink(file.dataTmp);
        return -1;
    }
    syncDataDir();
    // The pending signature is durable before the data moves, so a crash
    // between the two renames leaves a pair the next load can complete.
    if (renameDataFile(file.dataTmp, file.data, error) != 0) {
        unlink(file.dataTmp);
        unlink(file.sigPending);
        return -1;
    }
    if (renameDataFile(file.sigPending, file.sig, error) != 0) {
        return -1;
    }
    return 0;
}
