#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/file_utils.h"
#include "common/label_xattr.h"
#include "common/path_utils.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

namespace {

constexpr const char kRecordFile[] = "/tmp/exectl-calls.log";
constexpr auto kRunLimit = std::chrono::seconds(60);

// Runs a relabel with a time limit: a run that hangs (a FIFO opened for
// reading, a queue that never finishes) ends the test process.
void relabel(const std::string& root, std::vector<std::string> exclusions = {})
{
    auto run = std::async(std::launch::async, [&] {
        return VetuRestoreContext::getInstance().setLabelToDirRecursive(VetuRestoreInit::getInstance(), root, exclusions);
    });
    if (run.wait_for(kRunLimit) != std::future_status::ready) {
        fprintf(stderr, "relabel of %s did not end\n", root.c_str());
        std::_Exit(1);
    }
    EXPECT_EQ(run.get(), 0);
}

std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    splitString(readFile(path), '\n', lines);
    return lines;
}

class TreeRelabelRunTest : public testing::Test {
protected:
    void SetUp() override
    {
        // The run labels "/dev" itself; give it one of our own.
        ASSERT_TRUE(sandbox::mountPrivateDev());
        setenv("VETU_EXECTL_STUB_LOG", kRecordFile, 1);
        store.m_isInitialized = true;
    }

    VetuRestoreInit& store = VetuRestoreInit::getInstance();
    TempTree tree;
};

}  // namespace

// Every kind of entry gets the label the rules give it, computed here from
// the configuration the test sets up.
TEST_F(TreeRelabelRunTest, LabelsEveryPathAsConfigured)
{
    const std::string root = tree.root();
    for (const char* file : {"a/file1", "a/file2", "a/file3", "a/sub/f", "w/x.txt", "w/y.txt", "w/z.dat", "s/f",
                             "inh/sub/f", "ex/f", "exb/f", "ey/f", "pkg/bin/tool", "proc/f"}) {
        tree.file(file);
    }
    TempTree outside;
    outside.file("o");
    tree.symlink("lnk", tree.path("a/file1"));
    tree.symlink("inh/lnk", tree.path("a/file1"));
    tree.symlink("lnkdir", outside.root());
    tree.symlink("dangling", tree.path("nothing"));
    tree.fifo("pipe");
    tree.socket("sock");

    store.insertPkgidToMap("toolpkg", 1);
    store.insertFileOfPkgToMap(tree.path("pkg/bin/tool"), "toolpkg", 1);
    store.updateParentDirsCache(tree.path("pkg/bin/tool"));
    store.identityDataUserConfigTid.set(tree.path("a/file1"), 0x33);
    store.identityDataUserConfigInheritFlag.set(tree.path("a"), 1);
    store.identityDataUserConfigCreateOid.set(tree.path("a/file2"), {1, 2, 3});
    LabelContext preset;
    preset.create_oid = {9, 9, 9};
    preset.tid = 0x99;
    ASSERT_EQ(setFileLabelToXattr(tree.path("a/file3").c_str(), &preset, kXattrModeFile), 0);
    store.identityDataUserConfigOidGlob.set(tree.path("w/*.txt"), {0xa, 0xb, 0xc});
    store.identityDataUserConfigOidGlob.set(tree.path("w/x*"), {0xd, 0xe, 0xf});
    store.identityDataUserConfigOid.set(tree.path("w/y.txt"), {1, 1, 1});
    store.identityDataUserConfigSidGlob.set(tree.path("s/*"), {5, 6, 7});
    LabelContext inherited;
    inherited.sid = {0x11, 0x12, 0x13};
    inherited.oid = {0x21, 0x22, 0x23};
    inherited.tid = 0x31;
    inherited.inherit_flag = 7;
    store.m_mapInheritDirLabel.store({{tree.path("inh"), inherited}});

    relabel(root, {tree.path("ex")});

    const uint64_t pkg = sm3Last64("toolpkg");
    const std::string plain = labelText({}, 0, {}, 5);
    const std::string fromInheritDir = labelText({0x11, 0x12, 0x13}, 0x31, {0x21, 0x22, 0x23}, 7);
    const std::map<std::string, std::string> expected = {
        {"", labelText({}, 0, {}, 7)},  // holds a packaged file further down
        {"a", labelText({}, 0, {}, 1)},
        {"a/file1", labelText({}, 0x33, {}, 5)},
        {"a/file2", labelText({}, 0, {}, 5, {1, 2, 3})},
        {"a/file3", labelText({}, 0, {}, 5, {9, 9, 9})},
        {"a/sub/f", plain},
        {"w/x.txt", labelText({}, 0, {0, 0xe, 0xf}, 5)},  // the greater matching key wins
        {"w/y.txt", labelText({}, 0, {1, 1, 1}, 5)},      // an exact entry replaces the whole oid
        {"w/z.dat", plain},
        {"s/f", labelText({0, 6, 7}, 0, {}, 5)},
        {"inh", fromInheritDir},
        {"inh/sub/f", fromInheritDir},
        {"inh/lnk", plain},  // a link keeps its own label, in link mode
        {"ex", ""},
        {"ex/f", ""},
        {"exb/f", ""},  // exclusions are plain prefixes
        {"ey/f", plain},
        {"pkg/bin", labelText({}, 0, {}, 7)},
        {"pkg/bin/tool", labelText({pkg, 0, 0}, 0, {pkg, 0, 0}, 5)},
        {"proc/f", plain},  // system prefixes count from the start of the path only
        {"lnk", plain},
        {"lnkdir", plain},
        {"dangling", ""},
        {"pipe", plain},
        {"sock", plain},
    };
    for (const auto& entry : expected) {
        EXPECT_EQ(readXattr(tree.path(entry.first)), entry.second) << "path " << tree.path(entry.first);
    }
    EXPECT_EQ(readXattr(outside.path("o")), "") << "a link to a directory is not entered";
    EXPECT_EQ(readXattr(outside.root()), "");
    EXPECT_EQ(readXattr("/dev"), plain);
}

// The second run in one process labels the whole tree again.
TEST_F(TreeRelabelRunTest, TwoRunsInARowBothLabelEverything)
{
    std::vector<std::string> paths{tree.root(), tree.dir("d1"), tree.file("d1/f"), tree.file("f2"), "/dev"};
    // Mostly directories: the walk takes a while to queue its first batch,
    // so the consumers start on an empty queue.
    for (int i = 0; i < 600; ++i) {
        paths.push_back(i % 10 == 0 ? tree.file("d" + std::to_string(i) + "/g") : tree.dir("d" + std::to_string(i)));
    }
    const std::string plain = labelText({}, 0, {}, 5);
    for (int run = 1; run <= 2; ++run) {
        for (const auto& path : paths) {
            lremovexattr(path.c_str(), "security.vetu");
        }
        relabel(tree.root());
        size_t unlabelled = 0;
        for (const auto& path : paths) {
            unlabelled += readXattr(path) != plain ? 1 : 0;
        }
        EXPECT_EQ(unlabelled, 0u) << "run " << run;
    }
}

// The library hears of every existing path the consumers label, then gets
// the scan list (queue order: the root first, "/dev" last) after the joins.
TEST_F(TreeRelabelRunTest, ExectlLibraryHearsEveryPathAndTheScanList)
{
    const std::string root = tree.root();
    tree.file("a/f1");
    tree.file("a/f2");
    tree.file("b");
    tree.symlink("dangling", tree.path("none"));
    std::filesystem::remove(kRecordFile);
    relabel(root);

    const std::vector<std::string> lines = readLines(kRecordFile);
    ASSERT_EQ(lines.size(), 6u + 1u + 7u);
    std::multiset<std::string> inits = {"init " + root + " /dev"};
    std::set<std::string> scanned = {"  " + root + "/dangling", "  /dev"};
    for (const auto& path : {root, root + "/a", root + "/a/f1", root + "/a/f2", root + "/b"}) {
        inits.insert("init " + root + " " + path);
        scanned.insert("  " + path);
    }
    EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.begin() + 6), inits) << "no call for the dangling link";
    EXPECT_EQ(lines[6], "scanlist " + root + " 7");
    EXPECT_EQ(std::set<std::string>(lines.begin() + 7, lines.end()), scanned);
    EXPECT_TRUE(lines[7] == "  " + root && lines.back() == "  /dev");
    // The library is closed with the run: nothing more reaches it. Loaded
    // again, the update list has an entry point of its own.
    VetuRestoreContext& context = VetuRestoreContext::getInstance();
    EXPECT_EQ(context.callExectlfunc(root, {"/x"}, false), 0);
    EXPECT_EQ(readLines(kRecordFile).size(), lines.size());
    std::filesystem::remove(kRecordFile);
    ASSERT_EQ(context.loadExectlSo("libtamro2_exectl.so.0"), 0);
    EXPECT_EQ(context.callExectlfunc("/mnt", {"/mnt/x"}, true), 0);
    EXPECT_EQ(readFile(kRecordFile), "update /mnt 1\n  /mnt/x\n");
}

// A root that is missing, empty or under a system prefix queues nothing but
// "/dev"; the library still gets a list of that one path.
TEST_F(TreeRelabelRunTest, BadAndSystemRootsLabelOnlyDev)
{
    std::filesystem::create_directories("/run/x");
    std::ofstream("/run/x/f") << "x";
    for (const std::string& root : {std::string(), tree.path("missing"), std::string("/run/x")}) {
        SCOPED_TRACE(root);
        lremovexattr("/dev", "security.vetu");
        std::filesystem::remove(kRecordFile);
        relabel(root);
        EXPECT_EQ(readXattr("/dev"), labelText({}, 0, {}, 5));
        if (!root.empty()) {
            EXPECT_EQ(readLines(kRecordFile),
                      (std::vector<std::string>{"init " + root + " /dev", "scanlist " + root + " 1", "  /dev"}));
        }
    }
    EXPECT_EQ(readXattr("/run/x"), "");
    EXPECT_EQ(readXattr("/run/x/f"), "");

    // System prefixes are plain prefixes of the whole path: /library is
    // skipped as /lib is. Such top-level names exist only inside a root of
    // our own.
    const std::vector<std::string> roots = {"/library", "/devices", "/database", "/srv2"};
    for (const auto& root : roots) {
        tree.file("root" + root + "/x/f");
    }
    tree.dir("root/dev");
    tree.file("root/usr2/f");
    ASSERT_EQ(chroot(tree.path("root").c_str()), 0);
    ASSERT_EQ(chdir("/"), 0);
    for (const auto& root : roots) {
        relabel(root);
        EXPECT_EQ(readXattr(root), "") << root;
        EXPECT_EQ(readXattr(root + "/x/f"), "") << root;
    }
    EXPECT_EQ(readXattr("/dev"), labelText({}, 0, {}, 5));
    relabel("/usr2");
    EXPECT_EQ(readXattr("/usr2/f"), labelText({}, 0, {}, 5)) << "no system prefix";
}

// One path of a run: the nearest policy directory's path id beats that of
// the user-set pattern. (In a whole run the policy pass relabels that
// directory's tree after, by the rule of a single file.)
TEST_F(TreeRelabelRunTest, NearestPolicyPathIdBeatsThePatternsInARun)
{
    const std::string file = tree.file("pw/x.txt");
    store.identityDataUserConfigOidGlob.set(tree.path("pw/*.txt"), {0xa, 0xb, 0xc});
    store.identityDataUserConfigSidGlob.set(tree.path("pw/*.txt"), {0xd, 0xe, 0xf});
    store.identityDataDirOpathid.set(tree.path("pw"), 0x77);
    VetuRestoreContext::getInstance().setLabelToFileDirMultiThread(file, store, tree.root());
    EXPECT_EQ(readXattr(file), labelText({0, 0xe, 0xf}, 0, {0, 0xb, 0x77}, 5));
}

// Mounts inside the tree: a bind mount of an ancestor (a cycle) ends the
// walk there (the time limit ends a walk that does not); a read-only one
// cannot take labels, and the run goes on.
TEST_F(TreeRelabelRunTest, CyclesAndUnwritablePathsDoNotStopTheRun)
{
    const std::string a = tree.dir("a");
    const std::string loop = tree.dir("a/sub/loop");
    const std::string file = tree.file("a/sub/f");
    const std::string locked = tree.dir("ro");
    const std::string lockedFile = tree.file("ro/f");
    ASSERT_EQ(mount(a.c_str(), loop.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(locked.c_str(), locked.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, locked.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
    relabel(tree.root());
    EXPECT_EQ(readXattr(file), labelText({}, 0, {}, 5));
    EXPECT_EQ(readXattr(lockedFile), "");
    umount(loop.c_str());
    umount(locked.c_str());
}

// A relative root walks from the working directory, under its canonical
// name; without the exec-control library labelling goes on.
TEST_F(TreeRelabelRunTest, RelativeRootWithoutOrWithABrokenExectlLibrary)
{
    ASSERT_TRUE(sandbox::mountTmpfs(VETU_EXECTL_STUB_DIR));
    const std::string file = tree.file("d/f");
    ASSERT_EQ(chdir(tree.root().c_str()), 0);
    relabel("./d/../d");
    EXPECT_EQ(readXattr(file), labelText({}, 0, {}, 5));
    EXPECT_EQ(readXattr(tree.root()), "");
    EXPECT_FALSE(std::filesystem::exists(kRecordFile));
    ASSERT_EQ(chdir("/"), 0);

    // With a library that lacks an entry point the load fails and the
    // hand-over calls nothing.
    VetuRestoreContext& context = VetuRestoreContext::getInstance();
    std::filesystem::copy_file(VETU_EXECTL_PARTIAL_DIR "/libtamro2_exectl.so.0",
                               VETU_EXECTL_STUB_DIR "/libtamro2_exectl.so.0");
    EXPECT_EQ(context.loadExectlSo("libtamro2_exectl.so.0"), -1);
    EXPECT_EQ(context.callExectlfunc("/", {"/a"}, false) + context.callExectlfunc("/", {"/a"}, true), 0);
    EXPECT_FALSE(std::filesystem::exists(kRecordFile));
}

// A user at its thread limit cannot start the run's threads: the run is then
// done on the calling thread, not ended with the process.
TEST_F(TreeRelabelRunTest, RunThatCannotStartThreadsIsDoneOnTheCallingThread)
{
    tree.file("d/f");
    ASSERT_EQ(chmod(tree.root().c_str(), 0755), 0);
    LogCapture log;
    // This test's process is its own: unprivileged (so the limit holds), with
    // no room for one more thread. A run that hangs is ended by the alarm.
    const rlimit one{1, 1};
    ASSERT_EQ(setrlimit(RLIMIT_NPROC, &one), 0);
    ASSERT_EQ(setresgid(65534, 65534, 65534), 0);
    ASSERT_EQ(setresuid(65534, 65534, 65534), 0);
    alarm(std::chrono::duration_cast<std::chrono::seconds>(kRunLimit).count());
    EXPECT_EQ(VetuRestoreContext::getInstance().setLabelToDirRecursive(VetuRestoreInit::getInstance(), tree.root(), {}), 0);
    alarm(0);
    EXPECT_EQ(log.countContaining("start producer thread failed: ", "ERROR"), 1u) << log.dump();
}
