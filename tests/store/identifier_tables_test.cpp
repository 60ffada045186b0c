#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "common/sm3_hash.h"
#include "store/vetu_restore_init.h"

// Tables are loaded once per relabel batch from shared copies of the package
// data: each kind of change must reach the next load, while tables already
// held keep the moment they were loaded at.
TEST(IdentifierTablesTest, EveryPackageChangeReachesTheNextLoad)
{
    VetuRestoreInit store;
    const auto owned = [&store](const std::string& path, const IdentifierTables& tables) {
        uint64_t id = 0;
        return store.findFilePkgId(path, id, tables) ? id : 0;
    };
    struct Step {
        const char* name;
        std::function<void()> change;
        std::function<bool(const IdentifierTables&)> seen;
    };
    const Step steps[] = {
        {"file", [&] { store.insertFileOfPkgToMap("/opt/a", "pa", 1); }, [&](const IdentifierTables& t) {
             return t.fileOwners->count("/opt/a") == 1;
         }},
        {"package", [&] { store.insertPkgidToMap("pa", 1); },
         [&](const IdentifierTables& t) { return owned("/opt/a", t) == getSM3HashLast64Bits("pa"); }},
        {"package files", [&] { store.addPackageFiles("pa", 1, {"/opt/b"}); },
         [&](const IdentifierTables& t) { return owned("/opt/b", t) != 0; }},
        {"parent dir", [&] { store.updateParentDirsCache("/opt/d/f"); },
         [&](const IdentifierTables& t) { return store.isCachedParentDir("/opt/d/", t); }},
        {"derived package", [&] { store.insertFileOfPkgToMap("/opt/e", "pe", 1); },
         [&](const IdentifierTables& t) { return t.fileOwners->count("/opt/e") == 1; }},
        {"registered on a miss", [&] { uint64_t id; store.getPkgId("pe", id); },
         [&](const IdentifierTables& t) { return owned("/opt/e", t) != 0; }},
        {"user-set id", [&] { store.identityDataUserConfigPid.set("pe", 0x42); }, [&](const IdentifierTables& t) {
             uint64_t id = 0;
             uint32_t type = 0;
             return store.queryFilePkgid("/opt/e", id, type, t) == 0 && id == 0x42;
         }},
        {"swap", [&] {
             PkgFileData data;
             data.filePathToPkgName["/opt/s"] = {"ps", 1};
             data.pkgNameToId["ps"] = {7, 1};
             data.cachedParentDirs.insert("/opt/sd");
             store.swapPackageData(data);
         },
         [&](const IdentifierTables& t) { return owned("/opt/s", t) == 7 && store.isCachedParentDir("/opt/sd", t); }},
        {"clear", [&] { store.clearPackageData(); },
         [&](const IdentifierTables& t) { return owned("/opt/s", t) == 0 && !store.isCachedParentDir("/opt/sd", t); }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const IdentifierTables before = store.loadIdentifierTables();
        ASSERT_FALSE(step.seen(before));
        step.change();
        EXPECT_TRUE(step.seen(store.loadIdentifierTables()));
        EXPECT_FALSE(step.seen(before));
    }
}
