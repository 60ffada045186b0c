// The user-set identity methods over the bus, one table per kind, labels
// checked against the attribute bytes; persistence and a failing store.
#include <sys/mount.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>

#include "common/paths.h"
#include "service/labelmgr_bus_fixture.h"
#include "service/user_set_entries.h"
#include "support/bus_client.h"
#include "support/expected_label.h"
#include "support/temp_tree.h"

namespace {

const ExpectedId kSid{1, 2, 3};
const ExpectedId kOid{4, 5, 6};
constexpr uint32_t kBaseTid = 0x11;
constexpr uint32_t kBaseFlag = 3;

struct Row {
    std::string method;
    std::vector<BusArg> args;
    std::string reply;
    std::string labelPath = "";  // when set: its label after the call
    uint32_t field = 0;          // the kind's field in that label
};

void writeLabel(const std::string& path, uint32_t tid, uint32_t flag)
{
    const std::string text = labelText(kSid, tid, kOid, flag);
    ASSERT_EQ(lsetxattr(path.c_str(), "security.vetu", text.data(), text.size(), 0), 0) << strerror(errno);
}

BusArg argTriple(uint64_t pkg, uint64_t file, uint64_t path)
{
    return argStringU64Dict({{"pkg_id", pkg}, {"file_id", file}, {"path_id", path}});
}

class UserSetMethodsTest : public LabelMgrBusTest {
protected:
    void SetUp() override
    {
        LabelMgrBusTest::SetUp();
        std::filesystem::create_directories(paths::kDataDir);
        labelFiles();
        tree.file("nolabel");
        tree.symlink("ln", T("a"));
        tree.symlink("dl", T("none"));
        start();
    }

public:
    std::string T(const std::string& rel) const { return tree.path(rel); }
    void labelFiles()
    {
        for (const char* name : {"a", "b", "e", "sub/c", "sub/d"}) {
            writeLabel(tree.file(name), kBaseTid, kBaseFlag);
        }
    }

    // isTid: the field of the rows is the tid (else the inherit flag).
    void run(const std::vector<Row>& rows, bool isTid = true)
    {
        for (const auto& row : rows) {
            BusClient client;  // a rate budget of its own
            EXPECT_EQ(client.call(row.method, row.args), row.reply) << row.method;
            if (!row.labelPath.empty()) {
                EXPECT_EQ(readXattr(row.labelPath), labelText(kSid, isTid ? row.field : kBaseTid, kOid,
                                                              isTid ? kBaseFlag : row.field))
                    << row.method << " " << row.labelPath;
            }
        }
    }

    TempTree tree;
};

TEST_F(UserSetMethodsTest, PackageIdsOidsAndSids)
{
    run({
        {"setPkgId", {argString("a"), argU64(0)}, "0"},
        {"setPkgId", {argString("x"), argU64(std::numeric_limits<uint64_t>::max())}, kInvalid + "invalid id"},
        {"setPkgId", {argString("b"), argU64(5)}, "0"},
        {"queryUserSetPkgId", {argString("b")}, "{\"b\":5}"},
        {"queryUserSetPkgId", {argString("zz")}, "{}"},
        {"showUserSetPkgId", {}, "{\"a\":0,\"b\":5}"},
        {"delUserSetPkgId", {argString("b")}, "0"},
        {"showUserSetPkgId", {}, "{\"a\":0}"},
        {"delAllUserSetPkgId", {}, "0"},
        {"showUserSetPkgId", {}, "{}"},
    });
    for (std::string kind : {"Oid", "Sid"}) {
        const std::string lower = kind == "Oid" ? "oid" : "sid";
        const std::string t = triple(1, 2, 3);
        run({
            {"setFile" + kind, {argString(T("./a")), argTriple(1, 2, 3), argI32(0)}, "0"},
            {"setFile" + kind, {argString(T("no/./x")), argTriple(1, 2, 3), argI32(0)}, "0"},
            {"setFile" + kind, {argString(T("dl")), argTriple(1, 2, 3), argI32(0)}, "0"},
            {"setFile" + kind, {argString(T("ln")), argTriple(1, 2, 3), argI32(0)}, kInvalid + "filepath is not safe"},
            {"setFile" + kind, {argString(T("*")), argTriple(7, 8, 9), argI32(2)}, "0"},
            {"setFile" + kind, {argString(T("a")), argStringU64Dict({}), argI32(0)}, kInvalid + lower + " map is empty"},
            {"setFile" + kind, {argString(T("a")), argStringU64Dict({{"pkg_id", 1}, {"file_id", 2}}), argI32(0)},
             kInvalid + lower + " map missing required keys"},
            {"queryUserSetFile" + kind, {argString(T("a")), argI32(0)}, "{" + quoted(T("a")) + ":" + t + "}"},
            {"queryUserSetFile" + kind, {argString(T("none")), argI32(0)}, "{}"},
            // The pattern entry and the plain entries it covers; the star does not cross a slash.
            {"queryUserSetFile" + kind, {argString(T("*")), argI32(-1)},
             "{" + quoted(T("*")) + ":" + triple(7, 8, 9) + "," + quoted(T("a")) + ":" + t + "," + quoted(T("dl")) + ":" + t + "}"},
            {"delUserSetFile" + kind, {argString(T("*")), argI32(1)}, "0"},
            {"showUserSetFile" + kind, {}, "{" + quoted(T("no/./x")) + ":" + t + "}"},
            {"delAllUserSetFile" + kind, {}, "0"},
            {"showUserSetFile" + kind, {}, "{}"},
        });
    }
}

// The rows of the tid and inherit-flag kinds: each sets value, value + 1 and
// value + 2; reset is the field after a delete.
std::vector<Row> typeRows(const UserSetMethodsTest& test, const std::string& kind, uint32_t value, uint32_t reset)
{
    auto T = [&](const std::string& rel) { return test.T(rel); };
    auto entry = [&](const std::string& rel, uint32_t v) { return quoted(T(rel)) + ":" + std::to_string(v); };
    const std::string set = "setFile" + kind, query = "queryUserSetFile" + kind;
    return {
        {set, {argString(T("./a")), argU32(value), argI32(0)}, "0", T("a"), value},
        {set, {argString(T("sub/*")), argU32(value + 1), argI32(1)}, "0", T("sub/d"), value + 1},
        {set, {argString(T("sub/c")), argU32(value + 2), argI32(0)}, "0", T("sub/c"), value + 2},
        {set, {argString(T("none")), argU32(value), argI32(0)}, "0"},
        {set, {argString(T("ln")), argU32(value), argI32(0)}, kInvalid + "filepath is not safe"},
        {set, {argString(T("nolabel")), argU32(value), argI32(0)}, "-1"},
        {query, {argString(T("sub/*")), argI32(2)}, "{" + entry("sub/*", value + 1) + "," + entry("sub/c", value + 2) + "}"},
        {query, {argString(T("a")), argI32(0)}, "{" + entry("a", value) + "}"},
        {"showUserSetFile" + kind, {},
         "{" + entry("a", value) + "," + entry("none", value) + "," + entry("sub/*", value + 1) + "," +
             entry("sub/c", value + 2) + "}"},
        {"delUserSetFile" + kind, {argString(T("sub/*")), argI32(1)}, "0", T("sub/c"), reset},
        {"delUserSetFile" + kind, {argString(T("a")), argI32(0)}, "0", T("a"), reset},
        {"showUserSetFile" + kind, {}, "{" + entry("none", value) + "}"},
        {set, {argString(T("e")), argU32(value), argI32(0)}, "0", T("e"), value},
    };
}

TEST_F(UserSetMethodsTest, TidsAndInheritFlagsRewriteLabels)
{
    // A delete resets the tid to 0 and the inherit flag to 7; a link's own
    // label gets flag 0 after a delete-all.
    run(typeRows(*this, "Tid", 0xfffffff0, 0), true);
    run({{"setFileTid", {argString(T("sub/d")), argU32(0), argI32(0)}, "0", T("sub/d"), 0}}, true);
    labelFiles();
    run(typeRows(*this, "InheritFlag", 4, 7), false);
    run({{"setFileInheritFlag", {argString(T("a")), argU32(7), argI32(0)}, "0", T("a"), 7},
         {"setFileInheritFlag", {argString(T("a")), argU32(8), argI32(0)}, kInvalid + "inheritFlag is invalid"}},
        false);
    // e, which has entries of both kinds, becomes a link with a label of its own.
    std::filesystem::remove(T("e"));
    tree.symlink("e", T("b"));
    writeLabel(T("e"), kBaseTid, kBaseFlag);
    BusClient client;
    EXPECT_EQ(client.call("delAllUserSetFileTid", {}), "0");
    EXPECT_EQ(client.call("delAllUserSetFileInheritFlag", {}), "0");
    EXPECT_EQ(readXattr(T("e")), labelText(kSid, 0, kOid, 0));
    EXPECT_EQ(client.call("showUserSetFileTid", {}) + client.call("showUserSetFileInheritFlag", {}), "{}{}");
}

TEST_F(UserSetMethodsTest, ChangesReachTheIdentityDataFileAndAFailedStoreChangesNothing)
{
    BusClient client;
    ASSERT_EQ(client.call("setFileTid", {argString(T("a")), argU32(9), argI32(0)}) +
                  client.call("setPkgId", {argString("pkg"), argU64(42)}),
              "00");
    VetuRestoreInit fresh;
    ASSERT_EQ(fresh.loadIndentityData(), 0);
    EXPECT_EQ(fresh.identityDataUserConfigTid.getAll(), (std::map<std::string, uint32_t>{{T("a"), 9}}));
    EXPECT_EQ(fresh.identityDataUserConfigPid.getAll(), (std::map<std::string, uint64_t>{{"pkg", 42}}));

    ASSERT_EQ(mount(paths::kDataDir, paths::kDataDir, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, paths::kDataDir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    const std::string before = readXattr(T("a"));
    const std::string shown = client.call("showUserSetFileTid", {}) + client.call("showUserSetPkgId", {});
    EXPECT_EQ(client.call("setFileTid", {argString(T("a")), argU32(10), argI32(0)}) +
                  client.call("delUserSetFileTid", {argString(T("a")), argI32(0)}) +
                  client.call("setPkgId", {argString("other"), argU64(1)}) + client.call("delAllUserSetPkgId", {}),
              "-1-1-1-1");
    EXPECT_EQ(client.call("showUserSetFileTid", {}) + client.call("showUserSetPkgId", {}), shown);
    EXPECT_EQ(readXattr(T("a")), before);
    umount(paths::kDataDir);
}

// A label that cannot be reset fails the delete, yet its entries stay
// removed: one unwritable file must not pin an entry.
TEST_F(UserSetMethodsTest, APatternDeleteOnAReadOnlyMountFailsAndItsEntriesGo)
{
    writeLabel(tree.file("ro/f"), kBaseTid, kBaseFlag);
    store.identityDataUserConfigTidGlob.set(T("ro/*"), 9);
    store.identityDataUserConfigTid.set(T("ro/f"), 9);
    ASSERT_EQ(mount(T("ro").c_str(), T("ro").c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    EXPECT_EQ(mount(nullptr, T("ro").c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    BusClient client;
    EXPECT_EQ(client.call("delUserSetFileTid", {argString(T("ro/*")), argI32(1)}), "-1");
    EXPECT_EQ(client.call("showUserSetFileTid", {}), "{}");
    umount(T("ro").c_str());
}

}  // namespace

// A dangling link is missing to a delete-all, as an entry and among a
// pattern's matches; a delete and a delete-all pass the cap that refuses a
// set, and reset every label the walk finds.
TEST_F(UserSetMethodsTest, DeletesPassDanglingLinksAndTheSetCap)
{
    BusClient client;
    for (const std::string kind : {"Tid", "InheritFlag"}) {
        auto& plain = kind == "Tid" ? store.identityDataUserConfigTid : store.identityDataUserConfigInheritFlag;
        auto& glob = kind == "Tid" ? store.identityDataUserConfigTidGlob : store.identityDataUserConfigInheritFlagGlob;
        plain.set(T("dl"), 1);
        glob.set(T("d*"), 1);
        EXPECT_EQ(client.call("delAllUserSetFile" + kind, {}), "0") << kind;
        EXPECT_EQ(client.call("showUserSetFile" + kind, {}), "{}") << kind;
    }

    writeLabel(tree.file("sub/f"), kBaseTid, kBaseFlag);
    const RelabelCaps saved = userSetRelabelCaps();
    userSetRelabelCaps() = RelabelCaps{100, 2};
    store.identityDataUserConfigTidGlob.set(T("sub/*"), 9);  // grown past the cap
    EXPECT_EQ(client.call("setFileTid", {argString(T("sub/*")), argU32(9), argI32(1)}), "-1");
    EXPECT_EQ(client.call("delUserSetFileTid", {argString(T("sub/*")), argI32(1)}), "0");
    EXPECT_EQ(client.call("showUserSetFileTid", {}), "{}");
    store.identityDataUserConfigTidGlob.set(T("sub/*"), 9);
    EXPECT_EQ(client.call("delAllUserSetFileTid", {}), "0");
    userSetRelabelCaps() = saved;
    EXPECT_EQ(client.call("showUserSetFileTid", {}), "{}");
    for (const char* name : {"sub/c", "sub/d", "sub/f"}) {
        EXPECT_EQ(readXattr(T(name)), labelText(kSid, 0, kOid, kBaseFlag)) << name;
    }
}
