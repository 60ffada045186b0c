#include <gtest/gtest.h>

#include <string>

#include "store/pkg_data_file.h"

namespace {

template <typename T>
std::string raw(T v)
{
    return std::string(reinterpret_cast<const char*>(&v), sizeof(v));
}
const auto u64 = raw<uint64_t>;
const auto u32 = raw<uint32_t>;

std::string str(const std::string& s)
{
    return u64(s.size()) + s;
}

std::string write(const PkgFileData& d)
{
    PkgFileDataWriter w;
    w.writePkgMaps(d.pkgNameToId, d.pkgIdToName);
    w.writeFilePaths(d.filePathToPkgName);
    w.writeParentDirs(d.cachedParentDirs);
    return w.take();
}

PkgFileData sample()
{
    PkgFileData d;
    d.pkgNameToId["bash"] = PkgIdInfo{0x1122334455667788ull, 1};
    d.pkgNameToId["a"] = PkgIdInfo{1, 4};
    d.pkgIdToName[1] = "a";
    d.pkgIdToName[0x1122334455667788ull] = "bash";
    d.filePathToPkgName["/usr/bin/bash"] = FilePkgInfo{"bash", 1};
    d.filePathToPkgName[std::string("/odd\0\xff\"", 7)] = FilePkgInfo{"a", 4};
    d.cachedParentDirs = {"/usr", "/usr/bin"};
    return d;
}

TEST(PkgDataFileTest, GoldenBytes)
{
    EXPECT_EQ(write(PkgFileData{}), std::string(32, '\0'));

    const std::string full = u64(2) + str("a") + u64(1) + u32(4) + str("bash") + u64(0x1122334455667788ull) + u32(1) +
                             u64(2) + u64(1) + str("a") + u64(0x1122334455667788ull) + str("bash") +
                             u64(2) + str(std::string("/odd\0\xff\"", 7)) + str("a") + u32(4) + str("/usr/bin/bash") +
                             str("bash") + u32(1) + u64(2) + str("/usr") + str("/usr/bin");
    EXPECT_EQ(write(sample()), full);
}

TEST(PkgDataFileTest, EveryTruncationFailsAndLeavesTheTargetAlone)
{
    const std::string bytes = write(sample());
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        PkgFileData target = sample();
        target.cachedParentDirs.insert("/marker");
        std::string error;
        ASSERT_EQ(loadPkgFileDataBinary(bytes.substr(0, cut), target, error), -1) << cut;
        EXPECT_EQ(error.rfind("Failed to read ", 0), 0u) << error;
        EXPECT_TRUE(target.cachedParentDirs.count("/marker"));
    }
}

TEST(PkgDataFileTest, ForgedLengthsAllocateNothing)
{
    // A length near 2^62 and a count near 2^64: both fail on the bytes at hand.
    const std::string hugeName = u64(1) + u64(1ull << 62) + "abc";
    PkgFileData out;
    std::string error;
    EXPECT_EQ(loadPkgFileDataBinary(hugeName, out, error), -1);
    EXPECT_EQ(error, "Failed to read 4611686018427387904 bytes from input stream! Read 3");
    EXPECT_EQ(loadPkgFileDataBinary(u64(~0ull) + str("a") + u64(1) + u32(1), out, error), -1);
}

}  // namespace
