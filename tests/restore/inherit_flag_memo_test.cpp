#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <string>

#include "restore/inherit_flag_memo.h"
#include "support/expected_label.h"
#include "support/temp_tree.h"

// A directory answered once is not read again until a label is written on it:
// neither a full flag nor a missing label outlives that write.
TEST(InheritFlagMemoTest, AnswersHeldUntilTheDirectoryIsWritten)
{
    TempTree tree;
    const std::string dir = tree.dir("d"), file = tree.file("d/f");
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    const auto setFlag = [&dir](uint32_t flag) {
        const std::string text = labelText({}, 0, {}, flag);
        ASSERT_EQ(setxattr(dir.c_str(), "security.vetu", text.data(), text.size(), 0), 0);
    };
    InheritFlagMemo memo;
    EXPECT_EQ(memo.setFull(file, status), -1) << "no label yet";
    setFlag(3);
    EXPECT_EQ(memo.setFull(file, status), -1) << "answer kept";
    memo.forget(dir);
    EXPECT_EQ(memo.setFull(file, status), 0);
    EXPECT_EQ(readXattr(dir), labelText({}, 0, {}, 7));
    setFlag(3);
    EXPECT_EQ(memo.setFull(file, status), 0);
    EXPECT_EQ(readXattr(dir), labelText({}, 0, {}, 3)) << "answer kept";
    memo.forget(dir);
    EXPECT_EQ(memo.setFull(file, status), 0);
    EXPECT_EQ(readXattr(dir), labelText({}, 0, {}, 7));
}
