#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "store/vetu_restore_init.h"

// Tables come from shared copies of the package data: each kind of change
// reaches the next load, while tables already held keep their moment.
TEST(IdentifierTablesTest, EveryPackageChangeReachesTheNextLoad)
{
    VetuRestoreInit store;
    uint64_t id = 0;
    uint32_t type = 0;
    const auto owned = [&](const char* path, const IdentifierTables& t) { return store.findFilePkgId(path, id, t); };
    PkgFileData swapped;
    swapped.filePathToPkgName["/s"] = {"ps", 1};
    swapped.pkgNameToId["ps"] = {7, 1};
    swapped.cachedParentDirs.insert("/sd");
    const std::pair<std::function<void()>, std::function<bool(const IdentifierTables&)>> steps[] = {
        {[&] { store.insertFileOfPkgToMap("/a", "pa", 1); }, [&](auto& t) { return t.fileOwners->count("/a"); }},
        {[&] { store.insertPkgidToMap("pa", 1); }, [&](auto& t) { return owned("/a", t); }},
        {[&] { store.addPackageFiles("pa", 1, {"/b"}); }, [&](auto& t) { return owned("/b", t); }},
        {[&] { store.updateParentDirsCache("/d/f"); }, [&](auto& t) { return store.isCachedParentDir("/d/", t); }},
        {[&] { store.insertFileOfPkgToMap("/e", "pe", 1); }, [&](auto& t) { return t.fileOwners->count("/e"); }},
        {[&] { store.getPkgId("pe", id); }, [&](auto& t) { return owned("/e", t); }},
        {[&] { store.identityDataUserConfigPid.set("pe", 0x42); },
         [&](auto& t) { return store.queryFilePkgid("/e", id, type, t) == 0 && id == 0x42; }},
        {[&] { store.swapPackageData(swapped); }, [&](auto& t) { return owned("/s", t) && id == 7 && store.isCachedParentDir("/sd", t); }},
        {[&] { store.clearPackageData(); }, [&](auto& t) { return !owned("/s", t) && !store.isCachedParentDir("/sd", t); }},
    };
    for (const auto& step : steps) {
        const IdentifierTables before = store.loadIdentifierTables();
        ASSERT_FALSE(step.second(before));
        step.first();
        EXPECT_TRUE(step.second(store.loadIdentifierTables()));
        EXPECT_FALSE(step.second(before));
    }
    // Loaded without package data (for a single path), they ask the live maps.
    const IdentifierTables bare = store.loadIdentifierTables(false);
    store.addPackageFiles("pa", 1, {"/f"});
    store.insertPkgidToMap("pa", 1);
    store.updateParentDirsCache("/g/f");
    EXPECT_TRUE(owned("/f", bare) && store.isCachedParentDir("/g", bare));
}
