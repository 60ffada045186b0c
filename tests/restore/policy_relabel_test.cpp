#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/log_capture.h"
#include "support/temp_tree.h"

namespace {

constexpr const char kRestorePrefix[] = "restore label: ";

// The paths restoreFileLabel computed a label for, in order.
std::vector<std::string> restoredPaths(const LogCapture& log)
{
    std::vector<std::string> paths;
    for (const auto& line : log.lines()) {
        const std::string message = stripLogPrefix(line.message);
        if (line.level == "DEBUG" && message.rfind(kRestorePrefix, 0) == 0) {
            const std::string rest = message.substr(sizeof(kRestorePrefix) - 1);
            paths.push_back(rest.substr(0, rest.rfind(", ")));
        }
    }
    return paths;
}

}  // namespace

// Maps are worked in their fixed order, each in key order; a path is
// labelled once however many maps name it; file patterns label the files.
TEST(PolicyPassTest, LabelsEachPathOnceInMapOrder)
{
    TempTree tree;
    const std::string d = tree.dir("d"), df = tree.file("d/f1"), e = tree.dir("e"), ef = tree.file("e/f");
    const std::string w1 = tree.dir("w1"), w1x = tree.file("w1/x"), w2 = tree.dir("w2");
    const std::string fa = tree.file("fa.txt"), fb = tree.file("fb.txt");
    const std::string file1 = tree.file("file1"), file2 = tree.file("file2"), missing = tree.path("missing");
    const std::string link = tree.symlink("lnk", file1);
    tree.file("t/g");
    const std::string dirLink = tree.symlink("dlink", tree.path("t"));

    VetuRestoreInit store;
    store.identityDataLnkfileOid.set(link, {});
    store.identityDataDirSid.set(d, {});
    store.identityDataFileOid.set(file2, {});
    store.identityDataFileOid.set(file1, {});
    store.identityDataFileSid.set(missing, {});
    store.identityDataFileSid.set(file1, {});
    store.identityDataFileWildcardSid.set(tree.path("f*.txt"), {});
    store.identityDataFileWildcardOid.set(tree.path("f*.txt"), {});
    store.identityDataDirWSpathid.set(tree.path("w*"), 0x3);
    store.identityDataDirOpathid.set(e, 0x2);
    store.identityDataDirOpathid.set(d, 0x4);
    store.identityDataDirOpathid.set(dirLink, 0x5);  // the tree below the link
    store.identityDataDirSpathid.set(d, 0x1);

    LogCapture log;
    EXPECT_EQ(VetuRestoreContext::restoreFileLabelForHasPolicy(store), 0);
    EXPECT_EQ(restoredPaths(log),
              (std::vector<std::string>{d, df, dirLink, dirLink + "/g", e, ef, w1, w1x, w2, fa, fb, file1, missing, file2, link}));
    // A file below a directory with policies on both sides.
    EXPECT_EQ(readXattr(df), labelText({0, sm3Last64(df), 0x1}, 0, {0, sm3Last64(df), 0x4}, 7));
}

TEST(RestoreDirLabelTest, DepthLimitLinksAndDotEntries)
{
    TempTree tree;
    std::string dir = tree.root();
    std::vector<std::string> levels{dir};
    for (int depth = 1; depth <= 42; ++depth) {
        dir += "/l" + std::to_string(depth);
        levels.push_back(tree.dir(dir.substr(tree.root().size() + 1)));
    }
    const std::string link = tree.symlink("link", levels[1]);
    VetuRestoreInit store;

    EXPECT_EQ(VetuRestoreContext::restoreDirLabel(tree.root(), store, 0), 0);
    // Depths 0 to 40 are entered; depth 41 is labelled by its parent only.
    for (int depth = 0; depth <= 41; ++depth) {
        EXPECT_NE(readXattr(levels[static_cast<size_t>(depth)]), "") << "depth " << depth;
    }
    EXPECT_EQ(readXattr(levels[42]), "");
    EXPECT_NE(readXattr(link), "") << "a link is labelled itself";
    // "." and ".." are not entries of the tree: the parent keeps its label.
    EXPECT_EQ(readXattr("/tmp"), "");

    EXPECT_EQ(VetuRestoreContext::restoreDirLabel(link, store, 0), -1);
    EXPECT_EQ(VetuRestoreContext::restoreDirLabel("", store, 0), -1);
}
