#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "common/file_utils.h"
#include "common/process_attr.h"
#include "support/run_process.h"
#include "support/sandbox.h"

// On a child whose /proc/<pid>/attr is a private tmpfs: without the file
// nothing is written; a text of the wrong shape is left as it is; a write the
// kernel refuses is reported, not taken for success.
TEST(ProcessAttrTest, MissingMalformedAndRefusedAttributes)
{
    NamedProcess child("worker");
    const pid_t pid = child.pid();
    ASSERT_TRUE(pid > 0 && sandbox::mountProcAttr(pid));
    const std::string path = "/proc/" + std::to_string(pid) + "/attr/vetu/current";
    const vetu_id_t sid = {0x1122334455667788ULL, 0xabcdefULL, 0xffffffffffffffffULL};
    EXPECT_EQ(readProcessAttr(pid), "");
    EXPECT_EQ(setProcessSid(pid, sid), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    for (const std::string text : {"a:b:c:d", "a:b:c:d:e:f"}) {
        ASSERT_TRUE(writeFile(path, text));
        EXPECT_EQ(setProcessSid(pid, sid) + setProcessOrigSid(pid, sid), 0) << text;
        EXPECT_EQ(readFile(path), text);
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
    EXPECT_EQ(writeProcessAttr(pid, "x"), 0);
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
    EXPECT_EQ(getParentPid(2147483647), -1);  // beyond any pid: vanished
    EXPECT_TRUE(getAllParent(2147483647).empty());
}
