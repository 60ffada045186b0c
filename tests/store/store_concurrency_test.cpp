// Readers and writers of the store at once; run under the TSan build too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "store/vetu_restore_init.h"
#include "support/temp_tree.h"

namespace {

constexpr int kRounds = 300;
constexpr size_t kIndexSize = 64;

TEST(StoreConcurrencyTest, ReadersNeverSeeHalfBuiltMapsWhileWritersRun)
{
    TempTree tree;
    const std::string deviceXml =
        tree.file("devices.xml", "<devices><type name=\"t\" value=\"1\"><class name=\"c\" value=\"2\"/></type></devices>");
    VetuRestoreInit store;
    std::atomic<bool> failed{false};
    const auto wholeIndex = [&failed](size_t size) { failed = failed || (size != 0 && size != kIndexSize); };
    const std::function<void(int)> writers[] = {
        // The policy finalisation: identity maps refilled, the index republished.
        [&](int round) {
            store.identityDataFileSid.clear();
            for (size_t i = 0; round % 2 == 0 && i < kIndexSize; ++i) {
                store.identityDataFileSid.set("/srv/indexed/" + std::to_string(i), vetu_id_t{1, i, 0});
            }
            store.m_mapPathToIdentityType.store(store.buildIdentityDataIndex());
        },
        // Package labelling, which does not wait for readiness (a package
        // data load may be validating the paths meanwhile).
        [&](int round) {
            const std::string pkg = "pkg" + std::to_string(round % 11);
            store.insertPkgidToMap(pkg, 1 + round % 4);
            store.insertFileOfPkgToMap("/opt/" + pkg + "/bin/tool" + std::to_string(round), pkg, 1);
            store.updateParentDirsCache("/opt/" + pkg + "/lib/x" + std::to_string(round) + "/a.so");
        },
        // The start-up build filling the configuration maps.
        [&](int round) {
            store.m_mapInterpreterTid.store({{"/usr/bin/python3", static_cast<uint32_t>(round)}});
            store.m_mapDirInheritFlag.update([](auto& map) { map["/opt/dir" + std::to_string(map.size())] = 3; });
            if (round % 50 == 0) {
                store.readDeviceTypeInfo(deviceXml.c_str());
            }
        },
    };
    std::atomic<int> writersLeft{static_cast<int>(std::size(writers))};
    std::vector<std::thread> threads;
    for (const auto& body : writers) {
        threads.emplace_back([&, body]() {
            for (int round = 0; round < kRounds; ++round) {
                body(round);
            }
            --writersLeft;
        });
    }
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&]() {
            for (uint64_t round = 0; writersLeft.load() > 0 || round < 50; ++round) {
                wholeIndex(store.m_mapPathToIdentityType.load()->size());
                vetu_id_t id{};
                uint32_t value = 0;
                uint64_t pkgId = 0;
                store.getFileOid("/data/1/file", id);
                store.getTid("/usr/bin/python3", value);
                store.getDirInheritFlag("/opt/dir1", value);
                store.queryFilePkgid("/opt/pkg3/bin/tool3", pkgId, value);
                store.getPkgId("pkg" + std::to_string(round % 13), pkgId);
                store.getDeviceOid("c", pkgId);
                EXPECT_TRUE(store.validateMappedData());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(failed.load()) << "a reader saw a half-built index";
    // Every name registered by the package writer kept a consistent pair.
    const PkgFileData data = store.packageDataSnapshot();
    for (const auto& entry : data.pkgNameToId) {
        EXPECT_EQ(data.pkgIdToName.at(entry.second.pkgId), entry.first);
    }
    EXPECT_EQ(store.m_vecDeviceTypeInfo.load()->size(), static_cast<size_t>(kRounds / 50));
    EXPECT_EQ(store.m_mapDirInheritFlag.load()->size(), static_cast<size_t>(kRounds)) << "no update was lost";
}

}  // namespace
