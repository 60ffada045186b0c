// Crash-safe signed data files: a data file and the HMAC-SM3 signature beside
// it are replaced as one pair, serialised against other processes, and a load
// checks the pair before anything trusts the bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// The names one signed data set lives under, all in the data directory.
struct SignedDataFile {
    const char* data;
    const char* dataTmp;     // the next data file, written in full before it is renamed
    const char* sig;
    const char* sigPending;  // signature of a data file that may not be in place yet
    const char* marker;      // the unsigned data has been signed once
    const char* markerTmp;
};

// What a load logs for one kind of data file. Texts ending in ": " are
// followed by a path.
struct SignedDataTexts {
    const char* openFailed;
    const char* lockFailed;
    const char* statFailed;
    const char* readFailed;
    const char* sigMissingAfterMigration;
    const char* deletingTampered;
    const char* migrating;
    const char* verifyFailed;
    const char* deletingCorrupted;
    const char* verifyPassed;
    const char* migrationCompleted;
    const char* sigGenerated;
    const char* sigGenerateFailed;
    const char* parseError;          // "...: %s" with the parser's error text
    const char* deletingUnparsable;  // nullptr: an unparsable file stays on disk
    bool silentWhenMissing;          // a missing data file fails without a message
};

extern const SignedDataFile kPkgDataFile;
extern const SignedDataFile kIdentityDataFile;
extern const SignedDataTexts kPkgDataTexts;
extern const SignedDataTexts kIdentityDataTexts;

enum class ParseOutcome {
    Loaded,
    Rejected,    // well-formed but refused; the parser logged why; the files stay
    Unparsable,  // error text set
};
// A data file's bytes in pages of their own, read-only once read, so that a
// parser can hand back what it has read while it goes on: what it builds
// then never sits in memory beside the whole file.
class DataFileBytes {
public:
    DataFileBytes() = default;
    ~DataFileBytes();
    DataFileBytes(const DataFileBytes&) = delete;
    DataFileBytes& operator=(const DataFileBytes&) = delete;

    std::string_view view() const;
    // Gives the pages wholly before offset back to the system, in steps of a
    // megabyte unless offset is the end; they read as zeros afterwards.
    void release(size_t offset);

    // For the reader: room for size bytes, writable until sealed.
    char* allocate(size_t size);
    void seal();

private:
    char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_released = 0;
};

// Turns verified bytes into the caller's data. Must leave the caller's data
// untouched unless it returns Loaded or Rejected; it may run twice per load.
// It may release the bytes it has read.
using SignedDataParser = std::function<ParseOutcome(DataFileBytes& bytes, std::string& error)>;

// Loads, checks and parses a data file; see the outcome of each case in the
// implementation. Returns 0 or -1. Every file is opened without following
// symbolic links. The key must be fetched before calling (its creation takes
// the same directory lock).
int loadSignedData(const SignedDataFile& file, const SignedDataTexts& texts, const std::string& key,
                   const SignedDataParser& parse);

// Replaces the data file with bytes and its signature with their HMAC-SM3, as
// one pair. Returns 0, or -1 with the reason in error and the previous pair
// still loadable.
int storeSignedData(const SignedDataFile& file, const std::string& key, const std::string& bytes, std::string& error);

// Advisory lock on the data directory: every store and key creation holds it
// exclusively, every load at least shared, across processes as well.
class DataDirLock {
public:
    explicit DataDirLock(bool exclusive);
    ~DataDirLock();
    DataDirLock(const DataDirLock&) = delete;
    DataDirLock& operator=(const DataDirLock&) = delete;
    bool locked() const { return m_fd >= 0; }

private:
    int m_fd;
};

enum class ReadStatus { Ok, Missing, OpenFailed, LockFailed, StatFailed, ReadFailed };
// Reads a whole regular file under a shared lock, never following a link and
// never blocking on a FIFO.
ReadStatus readLockedFile(const char* path, std::string& out);
ReadStatus readLockedFile(const char* path, DataFileBytes& out);

// Writes a new file of mode 0600 with all of bytes and flushes it to disk.
// An existing file or link of that name is removed first; nothing is followed.
int writeNewDataFile(const char* path, const std::string& bytes, std::string& error);
// Renames within the data directory and flushes the directory.
int renameDataFile(const char* from, const char* to, std::string& error);
// Flushes the data directory's entries to disk.
void syncDataDir();
