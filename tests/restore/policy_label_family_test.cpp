#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/file_utils.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
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
        std::function<void(VetuRestoreInit&)> setup;
        std::function<vetu_id_t(VetuRestoreInit&)> call;
        vetu_id_t result;
        std::string label;  // of file afterwards; "" when none
        std::function<size_t(VetuRestoreInit&)> recorded;
        size_t recordedCount;
    };
    const std::vector<Row> rows = {
        {"missing file takes the path id, not the package id", nullptr,
         [&](VetuRestoreInit& s) { return context.getFileOidAndSetLabel(missing, s, 0x55, 0x99, false); },
         {0, sm3Last64(missing), 0x55}, "", [&](VetuRestoreInit& s) { return s.identityDataFileOid.getAll().count(missing); }, 1},
        {"noRecord writes the label only", nullptr,
         [&](VetuRestoreInit& s) { return context.getFileSidAndSetLabel(file, s, 0, 0x77, true); },
         {0x77, f, 0}, labelText({0x77, f, 0}, 0, {}, 0), [](VetuRestoreInit& s) { return s.identityDataFileSid.getAll().size(); }, 0},
        {"link member refuses a regular file", nullptr,
         [&](VetuRestoreInit& s) { return context.getLinkFileOidAndSetLabel(file, s, 0, 0); }, kFailedIdentity, "",
         [](VetuRestoreInit& s) { return s.identityDataLnkfileOid.getAll().size(); }, 0},
        {"later tid pattern wins, inherit flag pattern applies",
         [&](VetuRestoreInit& s) {
             s.identityDataUserConfigTidGlob.set(tree.path("t*"), 1);
             s.identityDataUserConfigTidGlob.set(tree.path("tx*"), 2);
             s.identityDataUserConfigInheritFlagGlob.set(tree.path("*"), 5);
         },
         [&](VetuRestoreInit& s) { return context.getFileOidAndSetLabel(file, s, 0x3, 0, false); }, {0, f, 0x3},
         labelText({}, 2, {0, f, 0x3}, 5), [&](VetuRestoreInit& s) { return s.identityDataFileOid.getAll().count(file); }, 1},
        {"exact tid wins over the patterns",
         [&](VetuRestoreInit& s) {
             s.identityDataUserConfigTidGlob.set(tree.path("tx*"), 2);
             s.identityDataUserConfigTid.set(file, 9);
         },
         [&](VetuRestoreInit& s) { return context.getDirSidAndSetLabel(file, s, 0, 0); }, {0, f, 0},
         labelText({0, f, 0}, 9, {}, 0), [&](VetuRestoreInit& s) { return s.identityDataDirSid.getAll().count(file); }, 1},
        {"read-only file system returns the identity", nullptr,
         [&](VetuRestoreInit& s) { return context.getDirOidAndSetLabel(roInner, s, 0, 0); },
         {0, sm3Last64(roInner), 0}, "", [&](VetuRestoreInit& s) { return s.identityDataDirOid.getAll().count(roInner); }, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        lremovexattr(file.c_str(), "security.vetu");
        VetuRestoreInit store;
        if (row.setup) {
            row.setup(store);
        }
        EXPECT_EQ(row.call(store), row.result);
        EXPECT_EQ(readXattr(file), row.label);
        EXPECT_EQ(row.recorded(store), row.recordedCount);
    }
    EXPECT_FALSE(pathExists(missing));
    EXPECT_EQ(context.labelStatus(), 1u);
    umount2(roDir.c_str(), MNT_DETACH);
}

namespace {

// A chain of real processes, each the parent of the next, stopped in pause().
class ProcessChain {
public:
    explicit ProcessChain(size_t length)
    {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        const pid_t first = fork();
        if (first == 0) {
            for (size_t i = 0;; ++i) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                const pid_t self = getpid();
                if (write(fds[1], &self, sizeof(self)) != sizeof(self) || i + 1 == length || fork() != 0) {
                    for (;;) {
                        pause();
                    }
                }
            }
        }
        close(fds[1]);
        for (size_t i = 0; first > 0 && i < length; ++i) {
            pid_t pid = 0;
            if (read(fds[0], &pid, sizeof(pid)) != sizeof(pid)) {
                break;
            }
            m_pids.push_back(pid);
        }
        close(fds[0]);
    }
    ~ProcessChain()
    {
        for (const pid_t pid : m_pids) {
            umount2(("/proc/" + std::to_string(pid) + "/attr").c_str(), MNT_DETACH);
        }
        if (!m_pids.empty()) {
            kill(m_pids.front(), SIGKILL);
            waitpid(m_pids.front(), nullptr, 0);
        }
    }
    const std::vector<pid_t>& pids() const { return m_pids; }

private:
    std::vector<pid_t> m_pids;
};

std::string attrText(const std::string& sid, const std::string& origSid)
{
    return sid + ":00000002:" + origSid + ":00000005:0000000000000000-0000000000000000-0000000000000000\n";
}

std::string idText(uint64_t n)
{
    return labelText({n, n, n}, 0, {}, 0).substr(0, 50);
}

}  // namespace

// A runs under its own sid, B and C (its child and grandchild) inherit; D's
// executable has no entry. The chain C, B takes the sid of B's executable.
TEST(UpdateProcessAttrTest, OwnAndInheritedSids)
{
    TempTree tree;
    ProcessChain chain(3);
    ProcessChain other(1);
    ASSERT_EQ(chain.pids().size(), 3u);
    ASSERT_EQ(other.pids().size(), 1u);
    const std::vector<pid_t> pids = {chain.pids()[0], chain.pids()[1], chain.pids()[2], other.pids()[0]};
    const std::vector<std::string> before = {attrText(idText(0xa), idText(0xa)), attrText(idText(0xb), idText(0xc)),
                                             attrText(idText(0xd), idText(0xe)), attrText(idText(0xf), idText(0xf))};
    std::map<std::string, vetu_id_t> exeToSid;
    for (size_t i = 0; i < pids.size(); ++i) {
        ASSERT_TRUE(sandbox::mountProcAttr(pids[i]));
        const std::string exe = tree.file("exe" + std::to_string(i));
        const std::string dir = "/proc/" + std::to_string(pids[i]) + "/attr/vetu/";
        ASSERT_TRUE(writeFile(dir + "path", exe));
        ASSERT_TRUE(writeFile(dir + "current", before[i]));
        if (i < 3) {
            exeToSid[exe] = {i + 1, i + 1, i + 1};
        }
    }
    VetuRestoreContext::getInstance().updateProcessAttr(exeToSid);
    const std::vector<std::string> after = {attrText(idText(1), idText(1)), attrText(idText(2), idText(2)),
                                            attrText(idText(2), idText(3)), before[3]};
    for (size_t i = 0; i < pids.size(); ++i) {
        EXPECT_EQ(readFile("/proc/" + std::to_string(pids[i]) + "/attr/vetu/current"), after[i]) << i;
    }
}
