// The store's persistence where the file layer alone cannot show the
// outcome: stores refused after a failed load, and two stores at once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "common/file_utils.h"
#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/hmac_key.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"

namespace fs = std::filesystem;

namespace {

// Data and a signature made with the store's key.
void putSigned(const char* data, const char* sig, const std::string& bytes)
{
    writeFile(data, bytes);
    writeFile(sig, getHMACSM3Signature(bytes, getHmacKey()));
}

class SignedPersistenceTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(paths::kDataDir); }
};

// A store after a failed load would replace the file with only what was set
// since: it is refused while the file on disk is unloaded, and goes through
// again once the file loads. Bytes that do not parse are set aside, never
// deleted, and stores go on.
TEST_F(SignedPersistenceTest, StoreRefusedWhileIdentityFileOnDiskFailedToLoad)
{
    VetuRestoreInit source;
    source.identityDataUserConfigTid.set("/kept", 1);
    ASSERT_EQ(source.storeIndentityData(), 0);
    const std::string good = readFile(paths::kIdentityData);
    struct Case {
        const char* name;
        std::function<void()> prepare;
        bool blocks;
        const char* setAsideAs = nullptr;  // where the unparsable bytes are kept
    };
    const Case cases[] = {
        {"malformed and signed", [] { putSigned(paths::kIdentityData, paths::kIdentityDataSig, "{\"value0\": {}}"); },
         false, "/etc/vetu/label/data/memory_data.json.unparsable.1"},
        {"signature unreadable",
         [&] {
             writeFile(paths::kIdentityData, good);
             fs::remove(paths::kIdentityDataSig);
             fs::create_directory(paths::kIdentityDataSig);
         },
         true},
        {"missing", [] { unlink(paths::kIdentityData); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        const std::string before = readFile(paths::kIdentityData);
        VetuRestoreInit store;
        EXPECT_EQ(store.loadIndentityData(), -1);
        store.identityDataUserConfigTid.set("/new", 2);
        if (c.setAsideAs != nullptr) {
            EXPECT_EQ(readFile(c.setAsideAs), before);
        }
        if (!c.blocks) {
            EXPECT_EQ(store.storeIndentityData(), 0);
            continue;
        }
        EXPECT_EQ(store.storeIndentityData(), -1);
        EXPECT_TRUE(readFile(paths::kIdentityData) == before) << "the file on disk was replaced";

        fs::remove_all(paths::kIdentityDataSig);
        putSigned(paths::kIdentityData, paths::kIdentityDataSig, good);
        ASSERT_EQ(store.loadIndentityData(), 0);
        store.identityDataUserConfigTid.set("/new", 2);
        ASSERT_EQ(store.storeIndentityData(), 0);
        VetuRestoreInit loaded;
        ASSERT_EQ(loaded.loadIndentityData(), 0);
        EXPECT_EQ(loaded.identityDataUserConfigTid.getAll().size(), 2u);
    }
}

// The load hands back the file's pages as it reads them (in megabyte steps):
// a file of several megabytes must still load every record.
TEST_F(SignedPersistenceTest, LargePackageFileLoadsWhole)
{
    VetuRestoreInit store;
    ASSERT_EQ(store.insertPkgidToMap("bash", 1), 0);
    ASSERT_EQ(store.insertPkgidToMap("lib64-gcc_1.2+x", 1), 0);
    store.updateParentDirsCache("/usr/bin/bash");
    const std::string dir = "/usr/share/some-rather-long-directory-name/";
    for (int i = 0; i < 40000; ++i) {
        store.insertFileOfPkgToMap(dir + "file_" + std::to_string(i), i % 2 ? "bash" : "lib64-gcc_1.2+x", 1);
    }
    ASSERT_EQ(store.storePkgAndFileData(), 0);
    ASSERT_GT(fs::file_size(paths::kPkgFileData), 3u << 20);
    VetuRestoreInit loaded;
    ASSERT_EQ(loaded.loadPkgAndFileData(), 0);
    const PkgFileData want = store.packageDataSnapshot();
    const PkgFileData got = loaded.packageDataSnapshot();
    EXPECT_TRUE(got.pkgIdToName == want.pkgIdToName && got.cachedParentDirs == want.cachedParentDirs);
    EXPECT_EQ(got.filePathToPkgName.size(), 40000u);
    EXPECT_EQ(got.filePathToPkgName.at(dir + "file_39999").pkgName, "bash");
}

// Two package stores at once: the one that writes last must not be the one
// that read the containers first, or a package registered in between is
// missing from the file until some later store.
TEST_F(SignedPersistenceTest, ConcurrentPackageStoresWriteTheNewestData)
{
    VetuRestoreInit store;
    ASSERT_EQ(store.insertPkgidToMap("bash", 1), 0);
    store.insertFileOfPkgToMap("/usr/bin/bash", "bash", 1);
    ASSERT_EQ(store.storePkgAndFileData(), 0);
    for (int round = 0; round < 200; ++round) {
        const std::string name = "pkg" + std::to_string(round);
        std::atomic<int> ready{0};
        std::atomic<int> failures{0};
        const auto startTogether = [&ready] {
            ++ready;
            while (ready.load() < 2) {
            }
        };
        std::thread registrar([&] {
            startTogether();
            failures += store.insertPkgidToMap(name, 2) != 0;
            failures += store.storePkgAndFileData() != 0;
        });
        std::thread other([&] {
            startTogether();
            failures += store.storePkgAndFileData() != 0;
        });
        registrar.join();
        other.join();
        ASSERT_EQ(failures.load(), 0);
        VetuRestoreInit loaded;
        ASSERT_EQ(loaded.loadPkgAndFileData(), 0);
        ASSERT_EQ(loaded.getPkgNameById(sm3Last64(name)), name) << "lost in round " << round;
    }
}

}  // namespace
