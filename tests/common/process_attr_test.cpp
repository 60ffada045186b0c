#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/file_utils.h"
#include "common/process_attr.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

// A real child process that names itself and then waits to be killed.
class Child {
public:
    explicit Child(const std::string& name)
    {
        int ready[2];
        if (pipe(ready) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            prctl(PR_SET_NAME, name.c_str());
            close(ready[0]);
            if (write(ready[1], "x", 1) != 1) {
                _exit(1);
            }
            for (;;) {
                pause();
            }
        }
        close(ready[1]);
        char c;
        // The parent's end of the pipe gives EOF if the child dies first.
        if (m_pid > 0 && read(ready[0], &c, 1) != 1) {
            m_pid = -1;
        }
        close(ready[0]);
    }
    ~Child()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

std::string attrPath(pid_t pid)
{
    return "/proc/" + std::to_string(pid) + "/attr/vetu/current";
}

const std::string kSid = "0000000000000001-0000000000000002-0000000000000003";
const std::string kOid = "00000000000000aa-00000000000000bb-00000000000000cc";
const std::string kCreate = "0000000000000000-0000000000000000-0000000000000000";
const std::string kLabel = kSid + ":00000010:" + kOid + ":00000005:" + kCreate + "\n";
const vetu_id_t kNew = {0x1122334455667788ULL, 0xabcdefULL, 0xffffffffffffffffULL};
const std::string kNewText = "1122334455667788-0000000000abcdef-ffffffffffffffff";

}  // namespace

TEST(ProcessAttrTest, SetSidAndOrigSidKeepOtherFields)
{
    Child child("worker");
    ASSERT_GT(child.pid(), 0);
    ASSERT_TRUE(sandbox::mountProcAttr(child.pid()));
    const std::string path = attrPath(child.pid());
    ASSERT_TRUE(writeFile(path, kLabel));
    EXPECT_EQ(readProcessAttr(child.pid()), kLabel);

    EXPECT_EQ(setProcessSid(child.pid(), kNew), 1);
    EXPECT_EQ(readFile(path), kNewText + ":00000010:" + kOid + ":00000005:" + kCreate + "\n");
    EXPECT_EQ(setProcessOrigSid(child.pid(), kNew), 1);
    EXPECT_EQ(readFile(path), kNewText + ":00000010:" + kNewText + ":00000005:" + kCreate + "\n");
}

TEST(ProcessAttrTest, MalformedAttributesAreRefusedUnwritten)
{
    Child child("worker");
    ASSERT_GT(child.pid(), 0);
    ASSERT_TRUE(sandbox::mountProcAttr(child.pid()));
    const std::string path = attrPath(child.pid());
    const std::vector<std::pair<std::string, size_t>> cases = {
        {"a:b:c:d", 4},
        {"a:b:c:d:e:f", 6},
        {"a::c:d:e", 4},
        {":::\n", 1},
    };
    for (const auto& [text, count] : cases) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(writeFile(path, text));
        LogCapture log;
        EXPECT_EQ(setProcessSid(child.pid(), kNew), 0);
        EXPECT_EQ(setProcessOrigSid(child.pid(), kNew), 0);
        const std::string message = "process attr value has insufficient elements: " + std::to_string(count);
        EXPECT_EQ(log.count(message, "ERROR"), 2u) << log.dump();
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].message.rfind("[setProcessSid:", 0), 0u);
        EXPECT_EQ(lines[1].message.rfind("[setProcessOrigSid:", 0), 0u);
        EXPECT_EQ(readFile(path), text);
    }
    ASSERT_TRUE(writeFile(path, ""));
    LogCapture log;
    EXPECT_EQ(setProcessSid(child.pid(), kNew), 0);
    EXPECT_TRUE(log.has("get process attr errror, attr is empty.", "ERROR"));
}

TEST(ProcessAttrTest, MissingAttributeFile)
{
    Child child("worker");
    ASSERT_GT(child.pid(), 0);
    LogCapture log;
    // Without the framework the file does not exist.
    ASSERT_TRUE(sandbox::mountProcAttr(child.pid()));
    EXPECT_EQ(readProcessAttr(child.pid()), "");
    EXPECT_TRUE(log.has("Unable to open file, " + attrPath(child.pid()), "ERROR"));
    EXPECT_EQ(setProcessSid(child.pid(), kNew), 0);
    EXPECT_TRUE(log.has("get process attr errror, attr is empty.", "ERROR"));
}

// A write the kernel refuses is reported, not taken for success.
TEST(ProcessAttrTest, RefusedWriteIsReported)
{
    Child child("worker");
    ASSERT_GT(child.pid(), 0);
    ASSERT_TRUE(sandbox::mountProcAttr(child.pid()));
    const std::string path = attrPath(child.pid());
    ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
    EXPECT_EQ(writeProcessAttr(child.pid(), kLabel), 0);
}

TEST(ProcessAttrTest, ParentOfNamesWithBlanksAndParentheses)
{
    for (const std::string name : {"plain", "two words", "x) S 1 (y", ") 1 2 3 4", "((", "a)b"}) {
        SCOPED_TRACE(name);
        Child child(name);
        ASSERT_GT(child.pid(), 0);
        EXPECT_EQ(getParentPid(child.pid()), getpid());
        const std::vector<uint32_t> chain = getAllParent(child.pid());
        ASSERT_FALSE(chain.empty());
        EXPECT_EQ(chain.front(), static_cast<uint32_t>(getpid()));
        EXPECT_LT(chain.back(), 2u);
    }
}

TEST(ProcessAttrTest, AncestorsEdgeCases)
{
    EXPECT_TRUE(getAllParent(1).empty());
    EXPECT_TRUE(getAllParent(0).empty());
    EXPECT_TRUE(getAllParent(-3).empty());
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    LogCapture log;
    EXPECT_EQ(getParentPid(gone), -1);
    EXPECT_TRUE(getAllParent(gone).empty());
    EXPECT_TRUE(log.has("current pid " + std::to_string(gone) + ".", "ERROR")) << log.dump();
}
