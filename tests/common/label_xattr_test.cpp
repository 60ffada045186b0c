#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/label_xattr.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
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

// A hang in an attribute call ends the test process instead of the run.
class TimeLimit {
public:
    explicit TimeLimit(unsigned seconds) { alarm(seconds); }
    ~TimeLimit() { alarm(0); }
};

std::string loopMessage(const std::string& path)
{
    return path + " open failed (O_NOFOLLOW), " + strerror(ELOOP);
}

TEST(LabelXattrTest, FilesAndDirectoriesStoreExactlyTheText)
{
    TempTree tree;
    const std::string file = tree.file("a/file", "content");
    const std::string dir = tree.dir("a/dir");
    for (const std::string& path : {file, dir}) {
        for (int mode : {1, 2}) {
            const LabelContext written = sampleContext(static_cast<uint64_t>(mode) * 100);
            ASSERT_EQ(setFileLabelToXattr(path.c_str(), &written, mode), 0) << path;
            EXPECT_EQ(readXattr(path), contextToString(written));
            EXPECT_EQ(readXattr(path).size(), 170u);
            LabelContext read;
            ASSERT_EQ(getFileLabelFromXattr(path.c_str(), &read, mode), 0);
            EXPECT_TRUE(read == written);

            vetu_id_t sid;
            vetu_id_t createOid;
            ASSERT_EQ(getFileSidFromXattr(path.c_str(), &sid, mode), 0);
            ASSERT_EQ(getFileCreateOidFromXattr(path.c_str(), &createOid, mode), 0);
            EXPECT_EQ(sid, written.sid);
            EXPECT_EQ(createOid, written.create_oid);
        }
    }
}

TEST(LabelXattrTest, LinkCarriesItsOwnLabelOnlyInLinkMode)
{
    TempTree tree;
    const std::string target = tree.file("target");
    const std::string link = tree.symlink("link", target);
    const std::string dangling = tree.symlink("dangling", tree.path("nowhere"));
    const LabelContext label = sampleContext(7);

    for (const std::string& path : {link, dangling}) {
        LogCapture capture;
        LabelContext read;
        EXPECT_EQ(setFileLabelToXattr(path.c_str(), &label, 1), -1);
        EXPECT_TRUE(capture.has(loopMessage(path), "WARN")) << capture.dump();
        EXPECT_EQ(getFileLabelFromXattr(path.c_str(), &read, 2), -1);
        EXPECT_TRUE(capture.has(loopMessage(path), "DEBUG")) << capture.dump();
        vetu_id_t sid;
        EXPECT_EQ(getFileSidFromXattr(path.c_str(), &sid, 1), -1);
        EXPECT_TRUE(capture.has("get file label failed.", "WARN"));

        ASSERT_EQ(setFileLabelToXattr(path.c_str(), &label, 3), 0) << capture.dump();
        EXPECT_EQ(readXattr(path), contextToString(label));
        ASSERT_EQ(getFileLabelFromXattr(path.c_str(), &read, 3), 0);
        EXPECT_TRUE(read == label);
    }
    EXPECT_EQ(readXattr(target), "") << "the link's target must stay unlabelled";
}

// Labelling never opens an object for reading: a FIFO without a writer, a
// socket and a device node are labelled like files, and nothing hangs.
TEST(LabelXattrTest, FifoSocketAndDeviceNeitherHangNorFail)
{
    TempTree tree;
    std::vector<std::string> paths = {tree.fifo("pipe"), tree.socket("sock")};
    const std::string device = tree.path("null-device");
    if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        paths.push_back(device);
    }
    const TimeLimit limit(20);
    for (const auto& path : paths) {
        const LabelContext label = sampleContext(paths.size());
        LabelContext read;
        ASSERT_EQ(setFileLabelToXattr(path.c_str(), &label, 1), 0) << path;
        ASSERT_EQ(getFileLabelFromXattr(path.c_str(), &read, 1), 0) << path;
        EXPECT_TRUE(read == label) << path;
        EXPECT_EQ(readXattr(path), contextToString(label));
    }
}

TEST(LabelXattrTest, MissingAttributeOrObjectIsDebugOnly)
{
    TempTree tree;
    const std::string file = tree.file("plain");
    const std::string missing = tree.path("missing");
    LogCapture capture;
    LabelContext read = sampleContext(3);
    const LabelContext before = read;
    EXPECT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), -1);
    EXPECT_TRUE(capture.has(file + " fgetxattr failed, " + strerror(ENODATA), "DEBUG")) << capture.dump();
    EXPECT_EQ(getFileLabelFromXattr(missing.c_str(), &read, 1), -1);
    EXPECT_TRUE(capture.has(missing + " open failed (O_NOFOLLOW), " + strerror(ENOENT), "DEBUG"));
    vetu_id_t createOid;
    EXPECT_EQ(getFileCreateOidFromXattr(file.c_str(), &createOid, 1), -1);
    EXPECT_TRUE(capture.has("get file label failed.", "DEBUG"));
    EXPECT_TRUE(read == before);
    for (const auto& line : capture.lines()) {
        EXPECT_EQ(line.level, "DEBUG") << line.message;
    }
}

TEST(LabelXattrTest, StoredValuesUpToTheFullBuffer)
{
    TempTree tree;
    const std::string file = tree.file("f");
    const LabelContext label = sampleContext(11);
    const std::string text = contextToString(label);
    LabelContext read;

    // A label padded with NULs to the whole 1024 bytes: the text ends at the
    // first NUL and nothing is written past the buffer.
    std::string padded = text;
    padded.resize(1024, '\0');
    ASSERT_EQ(setxattr(file.c_str(), kLabelXattrName, padded.data(), padded.size(), 0), 0);
    ASSERT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), 0);
    EXPECT_TRUE(read == label);

    // 1024 bytes of label and junk without a NUL: the junk after the fifth
    // field is not read.
    std::string full = text + ":";
    full.resize(1024, 'x');
    ASSERT_EQ(setxattr(file.c_str(), kLabelXattrName, full.data(), full.size(), 0), 0);
    ASSERT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), 0);
    EXPECT_TRUE(read == label);

    LogCapture capture;
    const std::string tooLong(1025, 'a');
    ASSERT_EQ(setxattr(file.c_str(), kLabelXattrName, tooLong.data(), tooLong.size(), 0), 0);
    EXPECT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), -1);
    EXPECT_TRUE(capture.has(file + " fgetxattr failed, " + strerror(ERANGE), "DEBUG")) << capture.dump();

    const std::string garbage = "not a label";
    ASSERT_EQ(setxattr(file.c_str(), kLabelXattrName, garbage.data(), garbage.size(), 0), 0);
    read = LabelContext{};
    EXPECT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), -1);
    EXPECT_TRUE(capture.has("label string to convert context error.", "ERROR"));
    EXPECT_TRUE(read == LabelContext{}) << "a failed read leaves the output alone";
}

TEST(LabelXattrTest, ReadOnlyMountRefusesWritesButReads)
{
    const std::string mountPoint = "/tmp/vetu-ro";
    ASSERT_TRUE(sandbox::mountTmpfs(mountPoint)) << strerror(errno);
    const std::string file = mountPoint + "/f";
    ASSERT_EQ(close(creat(file.c_str(), 0644)), 0);
    const LabelContext label = sampleContext(21);
    ASSERT_EQ(setFileLabelToXattr(file.c_str(), &label, 1), 0);
    ASSERT_EQ(mount(nullptr, mountPoint.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);

    LogCapture capture;
    const LabelContext other = sampleContext(99);
    EXPECT_EQ(setFileLabelToXattr(file.c_str(), &other, 1), -1);
    EXPECT_TRUE(capture.has(file + " fsetxattr error, " + strerror(EROFS), "WARN")) << capture.dump();
    LabelContext read;
    ASSERT_EQ(getFileLabelFromXattr(file.c_str(), &read, 1), 0);
    EXPECT_TRUE(read == label);
}

TEST(LabelXattrTest, BadParametersAreRefused)
{
    TempTree tree;
    const std::string file = tree.file("f");
    const LabelContext label;
    LabelContext read;
    vetu_id_t id;
    LogCapture capture;
    for (int mode : {0, 4, -1}) {
        capture.clear();
        EXPECT_EQ(setFileLabelToXattr(file.c_str(), &label, mode), -1);
        EXPECT_TRUE(capture.has("parameter error.", "ERROR"));
        EXPECT_EQ(getFileLabelFromXattr(file.c_str(), &read, mode), -1);
        EXPECT_TRUE(capture.has("invalid parameter", "ERROR"));
    }
    capture.clear();
    EXPECT_EQ(setFileLabelToXattr(nullptr, &label, 1), -1);
    EXPECT_EQ(getFileLabelFromXattr(nullptr, &read, 1), -1);
    EXPECT_EQ(getFileSidFromXattr(nullptr, &id, 1), -1);
    EXPECT_EQ(getFileCreateOidFromXattr(file.c_str(), &id, 4), -1);
    EXPECT_EQ(capture.count("invalid parameter", "ERROR"), 3u);
    // Mode 0 passes the readers' own check and is refused by the label read.
    capture.clear();
    EXPECT_EQ(getFileSidFromXattr(file.c_str(), &id, 0), -1);
    EXPECT_TRUE(capture.has("invalid parameter", "ERROR"));
    EXPECT_TRUE(capture.has("get file label failed.", "WARN"));
    EXPECT_EQ(readXattr(file), "");
}

}  // namespace
