#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <map>
#include <string>
#include <vector>

#include "common/file_utils.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/run_process.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

// The family on single paths: what is returned, written and recorded.
TEST(PolicyLabelFamilyTest, MembersOnSinglePaths)
{
    TempTree tree;
    const std::string missing = tree.path("gone/file");
    const std::string file = tree.file("txt");
    const std::string roDir = tree.dir("ro");
    ASSERT_EQ(mount("tmpfs", roDir.c_str(), "tmpfs", 0, nullptr), 0);
    const std::string roInner = tree.dir("ro/inner");
    ASSERT_EQ(mount(nullptr, roDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);

    VetuRestoreContext& context = VetuRestoreContext::getInstance();
    const uint64_t f = sm3Last64(file);
    struct Row {
        const char* name;
        std::function<vetu_id_t(VetuRestoreInit&)> call;  // sets up the store too
        vetu_id_t result;
        std::string label;  // of file afterwards; "" when none
        size_t recorded;    // entries in the family's store maps
    };
    const std::vector<Row> rows = {
        {"missing file takes the path id, not the package id",
         [&](VetuRestoreInit& s) { return context.getFileOidAndSetLabel(missing, s, 0x55, 0x99, false); },
         {0, sm3Last64(missing), 0x55}, "", 1},
        {"noRecord writes the label only",
         [&](VetuRestoreInit& s) { return context.getFileSidAndSetLabel(file, s, 0, 0x77, true); }, {0x77, f, 0},
         labelText({0x77, f, 0}, 0, {}, 0), 0},
        {"link member refuses a regular file",
         [&](VetuRestoreInit& s) { return context.getLinkFileOidAndSetLabel(file, s, 0, 0); }, kFailedIdentity, "", 0},
        {"later tid pattern wins, inherit flag pattern applies",
         [&](VetuRestoreInit& s) {
             s.identityDataUserConfigTidGlob.set(tree.path("t*"), 1);
             s.identityDataUserConfigTidGlob.set(tree.path("tx*"), 2);
             s.identityDataUserConfigInheritFlagGlob.set(tree.path("*"), 5);
             return context.getFileOidAndSetLabel(file, s, 0x3, 0, false);
         },
         {0, f, 0x3}, labelText({}, 2, {0, f, 0x3}, 5), 1},
        {"exact tid wins over the patterns",
         [&](VetuRestoreInit& s) {
             s.identityDataUserConfigTidGlob.set(tree.path("tx*"), 2);
             s.identityDataUserConfigTid.set(file, 9);
             return context.getDirSidAndSetLabel(file, s, 0, 0);
         },
         {0, f, 0}, labelText({0, f, 0}, 9, {}, 0), 1},
        {"read-only file system returns the identity",
         [&](VetuRestoreInit& s) { return context.getDirOidAndSetLabel(roInner, s, 0, 0); }, {0, sm3Last64(roInner), 0},
         "", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        lremovexattr(file.c_str(), "security.vetu");
        VetuRestoreInit store;
        EXPECT_EQ(row.call(store), row.result);
        EXPECT_EQ(readXattr(file), row.label);
        size_t recorded = 0;
        for (const auto* map : {&store.identityDataFileOid, &store.identityDataFileSid, &store.identityDataDirOid,
                                &store.identityDataDirSid, &store.identityDataLnkfileOid}) {
            recorded += map->getAll().size();
        }
        EXPECT_EQ(recorded, row.recorded);
    }
    EXPECT_FALSE(pathExists(missing));
    EXPECT_EQ(context.labelStatus(), 1u);
    umount2(roDir.c_str(), MNT_DETACH);
}

namespace {

// A chain of processes in a group of their own, each the parent of the
// next and each writing its pid before it forks the next; pids in order.
struct ProcessChain {
    std::vector<pid_t> pids;
    ChildProcess first;  // reaped after the group is killed
    explicit ProcessChain(size_t length) : pids(length)
    {
        int fds[2] = {-1, -1};
        if (pipe(fds) == 0) {
            first = ChildProcess([&] {
                setpgid(0, 0);
                for (size_t i = 1;; ++i) {
                    const pid_t self = getpid();
                    if (write(fds[1], &self, sizeof(self)) != sizeof(self) || i == length || fork() != 0) {
                        for (;;) {
                            pause();
                        }
                    }
                }
                return 0;
            });
        }
        for (pid_t& pid : pids) {
            pid = first.ok() && read(fds[0], &pid, sizeof(pid)) == sizeof(pid) ? pid : -1;
        }
        close(fds[0]);
        close(fds[1]);
    }
    ~ProcessChain()
    {
        for (const pid_t pid : pids) {
            umount2(("/proc/" + std::to_string(pid) + "/attr").c_str(), MNT_DETACH);
        }
        if (pids[0] > 0) {
            kill(-pids[0], SIGKILL);
        }
    }
};

// A process's attribute has the form of a label, its oid being the orig sid.
std::string attrText(uint64_t sid, uint64_t origSid)
{
    return labelText({sid, sid, sid}, 2, {origSid, origSid, origSid}, 5) + "\n";
}

}  // namespace

// A runs under its own sid, B and C (its child and grandchild) inherit; D
// (C's child) runs an executable without an entry. The chain C, B takes the
// sid of B's executable; D is left alone.
TEST(UpdateProcessAttrTest, OwnAndInheritedSids)
{
    TempTree tree;
    ProcessChain chain(4);
    const std::vector<pid_t>& pids = chain.pids;
    const std::vector<std::string> before = {attrText(0xa, 0xa), attrText(0xb, 0xc), attrText(0xd, 0xe),
                                             attrText(0xf, 0xf)};
    std::map<std::string, vetu_id_t> exeToSid;
    for (size_t i = 0; i < pids.size(); ++i) {
        ASSERT_TRUE(pids[i] > 0 && sandbox::mountProcAttr(pids[i]));
        const std::string exe = tree.file("exe" + std::to_string(i));
        const std::string dir = "/proc/" + std::to_string(pids[i]) + "/attr/vetu/";
        ASSERT_TRUE(writeFile(dir + "path", exe));
        ASSERT_TRUE(writeFile(dir + "current", before[i]));
        if (i < 3) {
            exeToSid[exe] = {i + 1, i + 1, i + 1};
        }
    }
    VetuRestoreContext::getInstance().updateProcessAttr(exeToSid);
    const std::vector<std::string> after = {attrText(1, 1), attrText(2, 2), attrText(2, 3), before[3]};
    for (size_t i = 0; i < pids.size(); ++i) {
        EXPECT_EQ(readFile("/proc/" + std::to_string(pids[i]) + "/attr/vetu/current"), after[i]) << i;
    }
}

// Entries a run of policy paths records reach their maps in order when the
// map changes and when the run ends, also when it ends by an exception.
TEST(PolicyRecordsTest, FlushedInOrderOnMapChangeAndAtEnd)
{
    SyncMap<std::string, vetu_id_t> oids;
    SyncMap<std::string, vetu_id_t> sids;
    try {
        PolicyRecords records;
        records.add(oids, "/a", vetu_id_t{1, 1, 1});
        records.add(oids, "/a", vetu_id_t{2, 2, 2});
        records.add(sids, "/b", vetu_id_t{3, 3, 3});
        EXPECT_EQ(oids.getAll().size(), 1u);
        EXPECT_EQ(sids.getAll().size(), 0u);
        throw std::runtime_error("a path failed");
    } catch (const std::runtime_error&) {
    }
    vetu_id_t id{};
    ASSERT_EQ(oids.get("/a", id), 0);
    EXPECT_EQ(id.pkg_id, 2u);
    ASSERT_EQ(sids.get("/b", id), 0);
    EXPECT_EQ(id.pkg_id, 3u);
}
