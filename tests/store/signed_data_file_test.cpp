#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "common/file_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/hmac_key.h"
#include "store/signed_data_file.h"
#include "support/run_process.h"
#include "support/temp_tree.h"

namespace fs = std::filesystem;

namespace {

const std::string kKey = "test-key";

// Records what it was given; a parser may give the bytes back (a migration
// still signs them).
struct Recorder {
    std::string loaded;
    int calls = 0;
    SignedDataParser parser()
    {
        return [this](DataFileBytes& file, std::string&) {
            loaded = std::string(file.view());
            file.release(loaded.size());
            ++calls;
            return ParseOutcome::Loaded;
        };
    }
};

// The two kinds differ only in their names: identity data stands for both.
class SignedDataFileTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(paths::kDataDir); }
    static const SignedDataFile& file() { return kIdentityDataFile; }
    int store(const std::string& bytes)
    {
        std::string error;
        return storeSignedData(file(), kKey, bytes, error);
    }
    int load(Recorder& r) { return loadSignedData(file(), kIdentityDataTexts, kKey, r.parser()); }
};

// A store replaces the pair, both files 0600, and the load verifies it; a
// flipped byte deletes the pair unparsed.
TEST_F(SignedDataFileTest, StoreThenLoadVerifiesAndTamperingDeletes)
{
    const std::string bytes("second\0with nul", 15);
    ASSERT_EQ(store("first") + store(bytes), 0);
    EXPECT_EQ(readFile(file().sig), getHMACSM3Signature(bytes, kKey));
    for (const char* path : {file().data, file().sig}) {
        struct stat st;
        EXPECT_TRUE(stat(path, &st) == 0 && (st.st_mode & 0777) == 0600) << path;
    }
    EXPECT_FALSE(pathExists(file().dataTmp) || pathExists(file().sigPending));
    Recorder r;
    EXPECT_EQ(load(r), 0);
    EXPECT_EQ(r.loaded, bytes);
    EXPECT_FALSE(pathExists(file().marker));

    writeFile(file().data, "paylOad");
    Recorder tampered;
    EXPECT_EQ(load(tampered), -1);
    EXPECT_EQ(tampered.calls, 0);
    EXPECT_FALSE(pathExists(file().data) || pathExists(file().sig));
}

// Unsigned data from before signatures loads and is signed; the marker comes
// only after the signature, so a migration that cannot sign happens again.
TEST_F(SignedDataFileTest, UnsignedDataMigratesOnceThenNeedsSignature)
{
    writeFile(file().data, "old data");
    fs::create_directory(file().sigPending);  // the signature cannot be written
    Recorder r;
    EXPECT_EQ(load(r), 0);
    EXPECT_FALSE(pathExists(file().marker));
    fs::remove(file().sigPending);
    writeFile(file().sig, "");  // an empty signature file counts as none
    for (int round = 0; round < 2; ++round) {
        Recorder again;
        ASSERT_EQ(load(again), 0);
        EXPECT_EQ(again.loaded, "old data");
        EXPECT_EQ(readFile(file().sig), getHMACSM3Signature("old data", kKey));
        EXPECT_EQ(readFile(file().marker).rfind("Signature migration completed on ", 0), 0u);
    }
    // Signed once, a missing signature now means tampering.
    unlink(file().sig);
    EXPECT_EQ(load(r), -1);
    EXPECT_FALSE(pathExists(file().data));
}

// Links, unreadable or foreign files are never followed, never count as a
// missing signature, and nothing is deleted.
TEST_F(SignedDataFileTest, UnusableFilesFailWithoutDeleting)
{
    const std::string target = std::string(paths::kDataDir) + "/elsewhere";
    const std::function<void()> cases[] = {
        [&] {  // data is a link
            writeFile(target, "payload");
            unlink(file().data);
            ASSERT_EQ(symlink(target.c_str(), file().data), 0);
        },
        [&] {  // data is a FIFO: the read must not block
            unlink(file().data);
            ASSERT_EQ(mkfifo(file().data, 0600), 0);
        },
        [&] {  // signature is a link
            writeFile(target, getHMACSM3Signature("payload", kKey));
            unlink(file().sig);
            ASSERT_EQ(symlink(target.c_str(), file().sig), 0);
        },
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        fs::remove_all(file().sig);
        fs::remove_all(file().data);
        ASSERT_EQ(store("payload"), 0);
        cases[i]();
        Recorder r;
        EXPECT_EQ(load(r), -1);
        EXPECT_TRUE(pathExists(file().data) && pathExists(file().sig));
        EXPECT_FALSE(readFile(target).empty());
        EXPECT_FALSE(pathExists(file().marker));
    }
}

// A store that died between its two renames left the new data with the old
// signature; the pending signature completes the pair.
TEST_F(SignedDataFileTest, PendingSignatureCompletesInterruptedStore)
{
    ASSERT_EQ(store("old"), 0);
    writeFile(file().data, "new");
    writeFile(file().sigPending, getHMACSM3Signature("new", kKey));
    Recorder r;
    EXPECT_EQ(load(r), 0);
    EXPECT_EQ(r.loaded, "new");
    EXPECT_EQ(readFile(file().sig), getHMACSM3Signature("new", kKey));
    EXPECT_FALSE(pathExists(file().sigPending));

    // Died before the data moved: the pending signature is stale.
    writeFile(file().sigPending, getHMACSM3Signature("newer", kKey).substr(0, 20));
    writeFile(file().dataTmp, "newer");
    EXPECT_EQ(load(r), 0);
    EXPECT_EQ(r.loaded, "new");
    EXPECT_FALSE(pathExists(file().sigPending));
    EXPECT_TRUE(pathExists(file().sig));
}

TEST_F(SignedDataFileTest, FailedStoreKeepsPreviousPair)
{
    ASSERT_EQ(store("previous"), 0);
    ASSERT_EQ(mkdir(file().sigPending, 0700), 0);
    EXPECT_EQ(store("next"), -1);
    EXPECT_FALSE(pathExists(file().dataTmp));
    fs::remove(file().sigPending);
    Recorder r;
    EXPECT_EQ(load(r), 0);
    EXPECT_EQ(r.loaded, "previous");

    ASSERT_EQ(mount(paths::kDataDir, paths::kDataDir, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, paths::kDataDir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << strerror(errno);
    EXPECT_EQ(store("next"), -1);
    EXPECT_EQ(load(r), 0);
    EXPECT_EQ(r.loaded, "previous");
}

std::string version(uint64_t n)
{
    std::string bytes = "version " + std::to_string(n) + "\n";
    bytes.resize(256 * 1024, static_cast<char>('a' + n % 26));
    return bytes;
}

bool isVersion(const std::string& bytes)
{
    return bytes.rfind("version ", 0) == 0 && bytes == version(std::stoull(bytes.substr(8)));
}

TEST_F(SignedDataFileTest, KilledStoresNeverLoseTheData)
{
    ASSERT_EQ(store(version(0)), 0);
    std::mt19937 rng(20261206);
    for (uint64_t round = 0; round < 80; ++round) {
        ChildProcess writer([this, round] {
            for (uint64_t n = 1000 * round + 1;; ++n) {
                store(version(n));
            }
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 4000)(rng)));
        writer.stop();
        Recorder r;
        ASSERT_EQ(load(r), 0) << "round " << round;
        ASSERT_TRUE(isVersion(r.loaded)) << "round " << round;
    }
}

// A link in the key's place is refused; the signatures made with an earlier
// key are not deleted for it. An empty key neither signs nor deletes.
TEST_F(SignedDataFileTest, SymlinkedKeyIsRefusedAndNothingIsDeleted)
{
    const std::string target = std::string(paths::kDataDir) + "/real_key";
    ASSERT_EQ(symlink(target.c_str(), paths::kHmacKey), 0);
    std::string error;
    ASSERT_EQ(storeSignedData(kPkgDataFile, "old key", "payload", error), 0);
    EXPECT_EQ(getHmacKey(), "");
    EXPECT_TRUE(!pathExists(target) && pathExists(paths::kPkgFileDataSig));
    EXPECT_EQ(storeSignedData(kPkgDataFile, "", "other", error), -1);
    Recorder r;
    EXPECT_EQ(loadSignedData(kPkgDataFile, kPkgDataTexts, "", r.parser()), -1);
    unlink(paths::kPkgFileDataSig);
    EXPECT_EQ(loadSignedData(kPkgDataFile, kPkgDataTexts, "", r.parser()), -1);
    EXPECT_EQ(readFile(paths::kPkgFileData), "payload");
    EXPECT_FALSE(pathExists(kPkgDataFile.marker));
}

}  // namespace
