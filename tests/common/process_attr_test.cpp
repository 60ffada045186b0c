#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/file_utils.h"
#include "common/process_attr.h"
#include "support/run_process.h"
#include "support/sandbox.h"

namespace {

const std::string kSid = "0000000000000001-0000000000000002-0000000000000003";
const std::string kOid = "00000000000000aa-00000000000000bb-00000000000000cc";
const std::string kCreate = "0000000000000000-0000000000000000-0000000000000000";
const std::string kLabel = kSid + ":00000010:" + kOid + ":00000005:" + kCreate + "\n";
const vetu_id_t kNew = {0x1122334455667788ULL, 0xabcdefULL, 0xffffffffffffffffULL};

}  // namespace

// A child whose /proc/<pid>/attr is a private tmpfs.
class ProcessAttrTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GT(m_child.pid(), 0);
        ASSERT_TRUE(sandbox::mountProcAttr(m_child.pid()));
    }
    NamedProcess m_child{"worker"};
    const pid_t m_pid = m_child.pid();
    const std::string m_path = "/proc/" + std::to_string(m_child.pid()) + "/attr/vetu/current";
};

TEST_F(ProcessAttrTest, MissingMalformedAndRefusedAttributes)
{
    // Without the framework the file does not exist.
    EXPECT_EQ(readProcessAttr(m_pid), "");
    EXPECT_EQ(setProcessSid(m_pid, kNew), 0);
    EXPECT_NE(access(m_path.c_str(), F_OK), 0);
    for (const std::string text : {"a:b:c:d", "a:b:c:d:e:f"}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(writeFile(m_path, text));
        EXPECT_EQ(setProcessSid(m_pid, kNew), 0);
        EXPECT_EQ(setProcessOrigSid(m_pid, kNew), 0);
        EXPECT_EQ(readFile(m_path), text);
    }
    // A write the kernel refuses is reported, not taken for success.
    ASSERT_EQ(unlink(m_path.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", m_path.c_str()), 0);
    EXPECT_EQ(writeProcessAttr(m_pid, kLabel), 0);
}

// Fields count from the last ')', past blanks, parentheses and newlines in
// the name; a short text has no such field.
TEST(ProcStatTest, FieldsAfterTheLastParenthesis)
{
    const std::string tail = " S 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 4242 0\n";
    EXPECT_EQ(statTextField("7 (a\n) b)" + tail, 22), "4242");
    EXPECT_EQ(statTextField("7 (a\n) b)" + tail, 3), "S");
    EXPECT_EQ(statTextField("7 (x) S 1", 22), "");
    EXPECT_EQ(statTextField("7 x S 1", 3), "");
}

// The name in /proc/<pid>/stat cannot forge the parent or hide the start
// time; vanished and invalid processes give no ancestors.
TEST(ProcessParentTest, ParentOfHostileNamesAndVanishedProcesses)
{
    for (const std::string name : {"two words", "x) S 1 (y", ") 1 2 3 4", "a\n) 9"}) {
        SCOPED_TRACE(name);
        NamedProcess child(name);
        ASSERT_GT(child.pid(), 0);
        EXPECT_EQ(getParentPid(child.pid()), getpid());
        EXPECT_NE(procStatField(child.pid(), 22), "");
        const std::vector<uint32_t> chain = getAllParent(child.pid());
        ASSERT_FALSE(chain.empty());
        EXPECT_EQ(chain.front(), static_cast<uint32_t>(getpid()));
        EXPECT_LT(chain.back(), 2u);
    }
    EXPECT_TRUE(getAllParent(1).empty());
    EXPECT_TRUE(getAllParent(-3).empty());
    const pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    EXPECT_EQ(getParentPid(gone), -1);
    EXPECT_TRUE(getAllParent(gone).empty());
}

// A process whose parent is init: its ancestry is exactly [1].
TEST(ProcessParentTest, ChildOfInitHasOnlyInitAsAncestor)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t middle = fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        if (fork() == 0) {  // orphaned at once: init adopts it
            alarm(20);
            const pid_t self = getpid();
            (void)!write(ready[1], &self, sizeof(self));
            pause();
        }
        _exit(0);
    }
    ASSERT_EQ(waitpid(middle, nullptr, 0), middle);
    pid_t orphan = 0;
    ASSERT_EQ(read(ready[0], &orphan, sizeof(orphan)), static_cast<ssize_t>(sizeof(orphan)));
    close(ready[0]);
    close(ready[1]);
    const int parent = getParentPid(orphan);
    const std::vector<uint32_t> chain = getAllParent(orphan);
    kill(orphan, SIGKILL);
    if (parent != 1) {
        GTEST_SKIP() << "orphans are adopted by a subreaper here, pid " << parent;
    }
    EXPECT_EQ(chain, std::vector<uint32_t>{1});
}
