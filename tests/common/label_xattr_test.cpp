#include <gtest/gtest.h>

#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "common/label_xattr.h"
#include "support/temp_tree.h"

namespace {

const LabelContext kLabel{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, 0x101, 5};

// Writes the label, checks the stored text and reads it back.
void expectRoundTrip(const std::string& path, int mode)
{
    SCOPED_TRACE(path + " mode " + std::to_string(mode));
    ASSERT_EQ(setFileLabelToXattr(path.c_str(), &kLabel, mode), 0);
    EXPECT_EQ(readXattr(path), "0000000000000001-0000000000000002-0000000000000003:00000101:"
                               "0000000000000004-0000000000000005-0000000000000006:00000005:"
                               "0000000000000007-0000000000000008-0000000000000009");
    LabelContext read;
    ASSERT_EQ(getFileLabelFromXattr(path.c_str(), &read, mode), 0);
    EXPECT_TRUE(read == kLabel);
}

}  // namespace

// Labelling never opens an object for reading: a FIFO without a writer and a
// socket are labelled like files and directories, and nothing hangs. A link
// carries a label of its own in link mode only.
TEST(LabelXattrTest, EveryKindOfNodeStoresExactlyTheTextAndBadValuesFail)
{
    TempTree tree;
    const std::string target = tree.file("a/file", "content");
    alarm(20);  // a hang ends this test's process, not the run
    for (const auto& path : {target, tree.dir("a/dir"), tree.fifo("pipe"), tree.socket("sock")}) {
        for (int mode : {1, 2}) {
            expectRoundTrip(path, mode);
        }
    }
    alarm(0);
    lremovexattr(target.c_str(), kLabelXattrName);
    for (const std::string& path : {tree.symlink("link", target), tree.symlink("dangling", tree.path("nowhere"))}) {
        LabelContext read;
        EXPECT_EQ(setFileLabelToXattr(path.c_str(), &kLabel, 1), -1);
        EXPECT_EQ(getFileLabelFromXattr(path.c_str(), &read, 2), -1);
        expectRoundTrip(path, 3);
    }
    EXPECT_EQ(readXattr(target), "") << "the link's target must stay unlabelled";

    // A value filling the whole 1024-byte buffer is read without overflow; a
    // longer or unparsable one fails and leaves the output alone.
    const std::string file = tree.file("f");
    LabelContext read;
    EXPECT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), -1);
    EXPECT_EQ(getFileLabelFromXattr(tree.path("missing").c_str(), &read, 1), -1);
    std::string padded = contextToString(kLabel);
    padded.resize(1024, '\0');
    std::string junk = contextToString(kLabel) + ":";
    junk.resize(1024, 'x');
    for (const std::string& value : {padded, junk, std::string(1025, 'a'), std::string("not a label")}) {
        ASSERT_EQ(setxattr(file.c_str(), kLabelXattrName, value.data(), value.size(), 0), 0);
        read = LabelContext{};
        const bool good = value.size() == 1024;
        EXPECT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), good ? 0 : -1);
        EXPECT_TRUE(read == (good ? kLabel : LabelContext{})) << "a failed read leaves the output alone";
    }
}
