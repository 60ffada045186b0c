// The store's four persistence operations end to end: layouts, signatures,
// key, migration and the outcome of every kind of load.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "common/sm3_hash.h"
#include "store/hmac_key.h"
#include "store/pkg_data_file.h"
#include "store/signed_data_file.h"
#include "store/vetu_restore_init.h"
#include "support/log_capture.h"

namespace fs = std::filesystem;

namespace {

void put(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string get(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool present(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

void fillPackages(VetuRestoreInit& store)
{
    ASSERT_EQ(store.insertPkgidToMap("bash", 1), 0);
    ASSERT_EQ(store.insertPkgidToMap("lib64-gcc_1.2+x", 2), 0);
    store.insertFileOfPkgToMap("/usr/bin/bash", "bash", 1);
    store.insertFileOfPkgToMap("/usr/lib64/libgcc.so", "lib64-gcc_1.2+x", 2);
    store.updateParentDirsCache("/usr/bin/bash");
}

class SignedPersistenceTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(paths::kDataDir); }
};

TEST_F(SignedPersistenceTest, PackageDataRoundTripWithKeyCreation)
{
    VetuRestoreInit store;
    fillPackages(store);
    LogCapture log;
    ASSERT_EQ(store.storePkgAndFileData(), 0);
    EXPECT_TRUE(log.has("save data success", "INFO"));
    EXPECT_TRUE(log.has("save signature success", "INFO"));
    EXPECT_TRUE(log.has("Generated new HMAC key file with 0600 permissions", "INFO"));
    EXPECT_EQ(get(paths::kHmacKey).size(), 32u);
    EXPECT_EQ(get(paths::kPkgFileDataSig), getHMACSM3Signature(get(paths::kPkgFileData), getHmacKey()));

    VetuRestoreInit loaded;
    loaded.insertFileOfPkgToMap("/stale", "stale", 1);
    log.clear();
    ASSERT_EQ(loaded.loadPkgAndFileData(), 0) << log.dump();
    EXPECT_TRUE(log.has("HMAC-SM3 signature verification passed", "INFO"));
    EXPECT_TRUE(log.has("load data success", "INFO"));
    EXPECT_TRUE(log.has("Data validation passed", "INFO"));
    EXPECT_EQ(loaded.m_mapFilePathToPkgName.size(), 2u);
    EXPECT_EQ(loaded.m_mapFilePathToPkgName.count("/stale"), 0u);
    EXPECT_EQ(loaded.m_mapPkgNameToId.at("lib64-gcc_1.2+x").pkgType, 2u);
    EXPECT_EQ(loaded.m_mapPkgIdToName, store.m_mapPkgIdToName);
    EXPECT_EQ(loaded.m_cachedParentDirs, store.m_cachedParentDirs);
    // Loading writes nothing: the stored bytes are what the layout gives.
    PkgFileDataWriter writer;
    writer.writePkgMaps(store.m_mapPkgNameToId, store.m_mapPkgIdToName);
    writer.writeFilePaths(store.m_mapFilePathToPkgName);
    writer.writeParentDirs(store.m_cachedParentDirs);
    EXPECT_EQ(get(paths::kPkgFileData), writer.take());
}

TEST_F(SignedPersistenceTest, PackageDataOutcomes)
{
    const std::string key = getHmacKey();
    struct Case {
        const char* name;
        std::string bytes;
        bool sign;
        int result;
        bool filesRemain;
        const char* message;
    };
    VetuRestoreInit source;
    fillPackages(source);
    ASSERT_EQ(source.storePkgAndFileData(), 0);
    const std::string good = get(paths::kPkgFileData);
    VetuRestoreInit bad;
    bad.insertFileOfPkgToMap("relative/path", "bash", 1);
    ASSERT_EQ(bad.storePkgAndFileData(), 0);
    const std::string invalid = get(paths::kPkgFileData);

    const std::vector<Case> cases = {
        {"signed", good, true, 0, true, "HMAC-SM3 signature verification passed"},
        {"truncated and signed", good.substr(0, good.size() - 3), true, -1, false,
         "Deleting corrupted pkg file data to allow fresh start"},
        {"truncated and unsigned", good.substr(0, 20), false, -1, false,
         "Deleting corrupted pkg file data to allow fresh start"},
        {"fails validation", invalid, true, -1, true, "Data validation failed after deserialization"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(paths::kPkgMigrationMarker);
        unlink(paths::kPkgFileDataSig);
        put(paths::kPkgFileData, c.bytes);
        if (c.sign) {
            put(paths::kPkgFileDataSig, getHMACSM3Signature(c.bytes, key));
        }
        VetuRestoreInit store;
        store.insertFileOfPkgToMap("/previous", "prev", 1);
        LogCapture log;
        EXPECT_EQ(store.loadPkgAndFileData(), c.result);
        EXPECT_TRUE(log.has(c.message)) << log.dump();
        EXPECT_EQ(present(paths::kPkgFileData), c.filesRemain);
        if (c.result != 0) {
            // A refused load leaves the containers as they were.
            EXPECT_EQ(store.m_mapFilePathToPkgName.size(), 1u);
            EXPECT_EQ(store.m_mapFilePathToPkgName.count("/previous"), 1u);
        }
    }
}

TEST_F(SignedPersistenceTest, IdentityDataRoundTripMigrationAndTamper)
{
    VetuRestoreInit store;
    store.identityDataUserConfigSid.set("/usr/bin/a", vetu_id_t{1, 2, 3});
    store.identityDataUserConfigLabel.set("/etc/\"x\"", "label\\");
    store.specialFsFileOid.set("/proc", SpecialFsFileRecord{"proc", vetu_id_t{4, 5, 6}});
    LogCapture log;
    ASSERT_EQ(store.storeIndentityData(), 0);
    EXPECT_TRUE(log.has("store indentity data success.", "DEBUG"));
    EXPECT_TRUE(log.has("store identity data signature success.", "DEBUG"));
    const std::string json = get(paths::kIdentityData);
    EXPECT_EQ(json.compare(0, 15, "{\n    \"value0\":"), 0);

    // A file from before signatures: loaded, then signed and marked.
    unlink(paths::kIdentityDataSig);
    VetuRestoreInit loaded;
    log.clear();
    ASSERT_EQ(loaded.loadIndentityData(), 0) << log.dump();
    EXPECT_TRUE(log.has("Signature file not found for identity data, performing migration from old version", "WARN"));
    EXPECT_TRUE(log.has("load indentity data success."));
    EXPECT_TRUE(log.has("Identity data signature file generated successfully", "INFO"));
    EXPECT_TRUE(present(paths::kIdentityMigrationMarker));
    vetu_id_t sid;
    ASSERT_EQ(loaded.identityDataUserConfigSid.get("/usr/bin/a", sid), 0);
    EXPECT_EQ(sid, (vetu_id_t{1, 2, 3}));
    std::string label;
    ASSERT_EQ(loaded.identityDataUserConfigLabel.get("/etc/\"x\"", label), 0);
    EXPECT_EQ(label, "label\\");

    std::string flipped = json;
    flipped[flipped.find("\"pkg_id\": 1") + 10] = '7';
    put(paths::kIdentityData, flipped);
    log.clear();
    VetuRestoreInit tampered;
    EXPECT_EQ(tampered.loadIndentityData(), -1);
    EXPECT_TRUE(log.has("HMAC-SM3 signature verification failed for identity data, data may be tampered", "ERROR"));
    EXPECT_TRUE(log.has("Deleting corrupted identity data file and signature file", "ERROR"));
    EXPECT_FALSE(present(paths::kIdentityData));
    EXPECT_FALSE(present(paths::kIdentityDataSig));
    EXPECT_TRUE(tampered.identityDataUserConfigSid.getAll().empty());

    // Missing data: silent.
    log.clear();
    EXPECT_EQ(tampered.loadIndentityData(), -1);
    EXPECT_EQ(log.countContaining("identity data"), 0u) << log.dump();
}

TEST_F(SignedPersistenceTest, MalformedIdentityDataStaysAndChangesNothing)
{
    const std::string key = getHmacKey();
    for (const std::string& text : {std::string(""), std::string("{"), std::string("[1,2]")}) {
        SCOPED_TRACE(text);
        put(paths::kIdentityData, text);
        put(paths::kIdentityDataSig, getHMACSM3Signature(text, key));
        VetuRestoreInit store;
        store.identityDataFileSid.set("/kept", vetu_id_t{1, 1, 1});
        LogCapture log;
        EXPECT_EQ(store.loadIndentityData(), -1);
        EXPECT_EQ(log.countContaining("load indentity data error: ", "ERROR"), 1u) << log.dump();
        EXPECT_TRUE(present(paths::kIdentityData));
        EXPECT_TRUE(present(paths::kIdentityDataSig));
        EXPECT_EQ(store.identityDataFileSid.getAll().size(), 1u);
    }
}

// A store after a failed load would replace the file with only what was set
// since: it is refused while the file on disk is unloaded.
TEST_F(SignedPersistenceTest, StoreRefusedWhileIdentityFileOnDiskFailedToLoad)
{
    const std::string key = getHmacKey();
    VetuRestoreInit source;
    source.identityDataUserConfigTid.set("/kept", 1);
    ASSERT_EQ(source.storeIndentityData(), 0);
    const std::string good = get(paths::kIdentityData);
    const std::string malformed = "{\"value0\": {}}";
    struct Case {
        const char* name;
        std::function<void()> prepare;
        bool blocks;
    };
    const std::vector<Case> cases = {
        {"malformed and signed",
         [&] {
             put(paths::kIdentityData, malformed);
             put(paths::kIdentityDataSig, getHMACSM3Signature(malformed, key));
         },
         true},
        {"signature unreadable",
         [&] {
             put(paths::kIdentityData, good);
             fs::remove(paths::kIdentityDataSig);
             fs::create_directory(paths::kIdentityDataSig);
         },
         true},
        {"tampered, deleted by the load",
         [&] {
             put(paths::kIdentityData, good + " ");
             put(paths::kIdentityDataSig, getHMACSM3Signature(good, key));
         },
         false},
        {"missing",
         [&] {
             unlink(paths::kIdentityData);
             unlink(paths::kIdentityDataSig);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        const std::string before = present(paths::kIdentityData) ? get(paths::kIdentityData) : "";
        VetuRestoreInit store;
        EXPECT_EQ(store.loadIndentityData(), -1);
        store.identityDataUserConfigTid.set("/new", 2);
        LogCapture log;
        if (!c.blocks) {
            EXPECT_EQ(store.storeIndentityData(), 0) << log.dump();
            continue;
        }
        EXPECT_EQ(store.storeIndentityData(), -1);
        EXPECT_EQ(log.countContaining("store indentity data error: ", "ERROR"), 1u) << log.dump();
        EXPECT_TRUE(get(paths::kIdentityData) == before) << "the file on disk was replaced";

        // Once the file loads, stores go through again and keep its entries.
        fs::remove_all(paths::kIdentityDataSig);
        put(paths::kIdentityData, good);
        put(paths::kIdentityDataSig, getHMACSM3Signature(good, key));
        ASSERT_EQ(store.loadIndentityData(), 0);
        store.identityDataUserConfigTid.set("/new", 2);
        ASSERT_EQ(store.storeIndentityData(), 0);
        VetuRestoreInit loaded;
        ASSERT_EQ(loaded.loadIndentityData(), 0);
        EXPECT_EQ(loaded.identityDataUserConfigTid.getAll().size(), 2u);
    }
}

TEST_F(SignedPersistenceTest, FailedStoresReturnFailureAndKeepThePair)
{
    VetuRestoreInit store;
    store.identityDataUserConfigTid.set("/a", 1);
    fillPackages(store);
    ASSERT_EQ(store.storeIndentityData(), 0);
    ASSERT_EQ(store.storePkgAndFileData(), 0);
    store.identityDataUserConfigTid.set("/a", 2);
    store.insertFileOfPkgToMap("/usr/bin/new", "bash", 1);
    fs::create_directory(paths::kIdentityDataSigPending);
    fs::create_directory(paths::kPkgFileDataSigPending);
    LogCapture log;
    EXPECT_EQ(store.storeIndentityData(), -1);
    EXPECT_EQ(store.storePkgAndFileData(), -1);
    EXPECT_EQ(log.countContaining("store indentity data error: ", "ERROR"), 1u);
    EXPECT_EQ(log.countContaining("save data error: ", "ERROR"), 1u);
    fs::remove(paths::kIdentityDataSigPending);
    fs::remove(paths::kPkgFileDataSigPending);

    VetuRestoreInit loaded;
    ASSERT_EQ(loaded.loadIndentityData(), 0);
    ASSERT_EQ(loaded.loadPkgAndFileData(), 0);
    uint32_t tid = 0;
    ASSERT_EQ(loaded.identityDataUserConfigTid.get("/a", tid), 0);
    EXPECT_EQ(tid, 1u);
    EXPECT_EQ(loaded.m_mapFilePathToPkgName.count("/usr/bin/new"), 0u);
}

// Two package stores at once: the one that writes last must not be the one
// that read the containers first, or a package registered in between is
// missing from the file until some later store.
TEST_F(SignedPersistenceTest, ConcurrentPackageStoresWriteTheNewestData)
{
    VetuRestoreInit store;
    fillPackages(store);
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
        ASSERT_EQ(loaded.m_mapPkgNameToId.count(name), 1u) << "lost in round " << round;
    }
}

// Stores, loads and map changes on several threads: nothing is lost, torn or
// deleted (run under TSan as well).
TEST_F(SignedPersistenceTest, ConcurrentStoresAndLoads)
{
    VetuRestoreInit store;
    fillPackages(store);
    ASSERT_EQ(store.storeIndentityData(), 0);
    ASSERT_EQ(store.storePkgAndFileData(), 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 30; ++i) {
            store.identityDataFileOid.set("/f" + std::to_string(i), vetu_id_t{1, 2, 3});
            store.insertFileOfPkgToMap("/usr/bin/f" + std::to_string(i), "bash", 1);
        }
    });
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 15; ++i) {
                failures += store.storeIndentityData() != 0;
                failures += store.storePkgAndFileData() != 0;
            }
        });
    }
    threads.emplace_back([&] {
        VetuRestoreInit reader;
        for (int i = 0; i < 15; ++i) {
            failures += reader.loadIndentityData() != 0;
            failures += reader.loadPkgAndFileData() != 0;
        }
    });
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(store.storeIndentityData(), 0);
    VetuRestoreInit last;
    ASSERT_EQ(last.loadIndentityData(), 0);
    EXPECT_EQ(last.identityDataFileOid.getAll().size(), 30u);
}

}  // namespace
