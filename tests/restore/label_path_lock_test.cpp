#include "restore/label_path_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_tree.h"

// An object and a subject policy may name two hard links of one file: both
// must take the one lock of that file's label.
TEST(LabelPathLockTest, HardLinksShareTheLockOfTheirFile)
{
    TempTree tree;
    const std::string first = tree.file("object");
    const std::string second = tree.path("subject");
    ASSERT_EQ(link(first.c_str(), second.c_str()), 0);
    EXPECT_EQ(&labelLockOf(first), &labelLockOf(second));
    EXPECT_EQ(&labelLockOf(first, true), &labelLockOf(second, true));
}
