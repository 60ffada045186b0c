#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/label_xattr.h"
#include "support/temp_tree.h"

namespace {

LabelContext sampleContext(uint64_t seed)
{
    LabelContext c;
    c.sid = {seed, seed + 1, seed + 2};
    c.oid = {seed + 3, seed + 4, seed + 5};
    c.create_oid = {seed + 6, seed + 7, seed + 8};
    c.tid = 0x100 + static_cast<uint32_t>(seed);
    c.inherit_flag = 5;
    return c;
}

// Writes the label, checks the stored text and reads it back.
void expectRoundTrip(const std::string& path, int mode, uint64_t seed)
{
    SCOPED_TRACE(path + " mode " + std::to_string(mode));
    const LabelContext written = sampleContext(seed);
    ASSERT_EQ(setFileLabelToXattr(path.c_str(), &written, mode), 0);
    EXPECT_EQ(readXattr(path), contextToString(written));
    EXPECT_EQ(readXattr(path).size(), 170u);
    LabelContext read;
    ASSERT_EQ(getFileLabelFromXattr(path.c_str(), &read, mode), 0);
    EXPECT_TRUE(read == written);
}

// Labelling never opens an object for reading: a FIFO without a writer and a
// socket are labelled like files and directories, and nothing hangs.
TEST(LabelXattrTest, EveryKindOfNodeStoresExactlyTheText)
{
    TempTree tree;
    const std::string file = tree.file("a/file", "content");
    std::vector<std::string> paths = {file, tree.dir("a/dir"), tree.fifo("pipe"), tree.socket("sock")};
    alarm(20);  // a hang ends this test's process, not the run
    for (const auto& path : paths) {
        for (int mode : {1, 2}) {
            expectRoundTrip(path, mode, static_cast<uint64_t>(mode) * 100);
        }
    }
    alarm(0);
}

TEST(LabelXattrTest, LinkCarriesItsOwnLabelOnlyInLinkMode)
{
    TempTree tree;
    const std::string target = tree.file("target");
    const LabelContext label = sampleContext(7);
    for (const std::string& path : {tree.symlink("link", target), tree.symlink("dangling", tree.path("nowhere"))}) {
        LabelContext read;
        EXPECT_EQ(setFileLabelToXattr(path.c_str(), &label, 1), -1);
        EXPECT_EQ(getFileLabelFromXattr(path.c_str(), &read, 2), -1);
        expectRoundTrip(path, 3, 7);
    }
    EXPECT_EQ(readXattr(target), "") << "the link's target must stay unlabelled";
}

// A value filling the whole 1024-byte buffer is
// read without overflow; a longer or unparsable one fails and leaves the
// output alone.
TEST(LabelXattrTest, MissingOversizedAndGarbageValues)
{
    TempTree tree;
    const std::string file = tree.file("f");
    const std::string missing = tree.path("missing");
    const LabelContext label = sampleContext(11);
    LabelContext read;
    EXPECT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), -1);
    EXPECT_EQ(getFileLabelFromXattr(missing.c_str(), &read, 1), -1);
    std::string padded = contextToString(label);
    padded.resize(1024, '\0');
    std::string junk = contextToString(label) + ":";
    junk.resize(1024, 'x');
    for (const std::string& value : {padded, junk}) {
        ASSERT_EQ(setxattr(file.c_str(), kLabelXattrName, value.data(), value.size(), 0), 0);
        read = LabelContext{};
        ASSERT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), 0);
        EXPECT_TRUE(read == label);
    }
    for (const std::string& value : {std::string(1025, 'a'), std::string("not a label")}) {
        ASSERT_EQ(setxattr(file.c_str(), kLabelXattrName, value.data(), value.size(), 0), 0);
        read = LabelContext{};
        EXPECT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), -1);
        EXPECT_TRUE(read == LabelContext{}) << "a failed read leaves the output alone";
    }
}

}  // namespace
