#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/mount_table.h"
#include "common/paths.h"
#include "support/run_process.h"
#include "support/stub_program.h"
#include "support/temp_tree.h"

using StringMap = std::map<std::string, std::string>;

namespace {

void setBindMountMap(StringMap map)
{
    std::unique_lock<std::shared_mutex> lock(bindMountMutex);
    bindMountMap = std::move(map);
}
}  // namespace

// findmnt lines of exactly the root device (not /dev/sda20, nor a name
// ending in it) with \xHH escapes decoded, a line short of fields skipped.
TEST(MountTableTest, BuildBindMountMapRules)
{
    TempTree tree;
    const StubProgram findmnt(paths::kFindmnt, "exec cat \"$STUB_DIR/out\"\n");
    findmnt.writeData("out", "/dev/sda2 ext4 10G 1G 9G 10% /\n"
                     "/dev/sda2 ext4 10G 1G 9G 10% /sysroot\n"
                     "/dev/sda2[/ostree/deploy/var] ext4 10G 1G 9G 10% /var\n"
                     "/dev/sda2[/var] ext4 10G 1G 9G 10% /elsewhere\n"
                     "/dev/sdb1 ext4 10G 1G 9G 10% /data\n"
                     "/dev/sdb1[/sub] ext4 10G 1G 9G 10% /view\n"
                     "/dev/sda2 fuse.sshfs 1G 0 1G 0% /home/u/a\n"
                     "/dev/sda2[/etc] fuse 1G 0 1G 0% /home/u/c\n"
                     "/dev/sda20[/x] ext4 10G 1G 9G 10% /datax\n"
                     "/dev/mapper/v-/dev/sda2 ext4 10G 1G 9G 10% /mapped\n"
                     "/dev/sda2[/six] ext4 10G 1G 9G /short\n"
                     "/dev/sda2[/srv/a\\x20b] ext4 10G 1G 9G 10% /mnt/my\\x20dir\n");
    // Only devices mounted twice or more are asked about.
    tree.file("etc/mtab", "/dev/sda2 / ext4 rw 0 0\n/dev/sda2 /var ext4 rw 0 0\ntmpfs /tmp tmpfs rw 0 0\n"
                          "/dev/sdb1 /data ext4 rw 0 0\n");
    ASSERT_EQ(mount(tree.path("etc").c_str(), "/etc", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    getMountInfo(mountInfoList);
    ASSERT_EQ(mountInfoList.size(), 4u);
    EXPECT_EQ(getMountPointTypeMap(mountInfoList).at("/tmp"), "tmpfs");
    StringMap map = {{"stale", "entry"}};
    EXPECT_EQ(buildBindMountMap(map), 0);
    // A user's FUSE mount under the root device's name never makes a rule.
    EXPECT_EQ(map, (StringMap{{"/ostree/deploy/var", "/var"},
                              {"/sysroot/ostree/deploy/var", "/var"},
                              {"/srv/a b", "/mnt/my dir"},
                              {"/sysroot/srv/a b", "/mnt/my dir"},
                              {"/sysroot/var", "/var"},
                              {"/var", "/elsewhere"}}));
    rebuildBindMountMap();
    EXPECT_EQ(getBindMountMap(), map);
}

TEST(MountTableTest, TranslateOnComponentBoundaries)
{
    setBindMountMap({});
    EXPECT_EQ(translateBindMountPath("/a/b"), "/a/b");
    setBindMountMap({{"/a", "/X"}, {"/a/b", "/Y"}, {"/sysroot/var", "/var"}, {"/d/e", "/"}});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/a", "/X"}, {"/a/b/c", "/X/b/c"}, {"/ab/c", "/ab/c"}, {"/sysroot/variable", "/sysroot/variable"},
        {"/d/e", "/"}, {"", ""}, {"/", "/"},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(translateBindMountPath(in), want) << in;
    }
}

// A real bind mount inside the test's namespace, found through the real
// findmnt once the watcher sees the mount event; the wake descriptor ends it.
TEST(MountTableTest, WatcherFollowsRealBindMounts)
{
    getMountInfo(mountInfoList);
    const auto root = std::find_if(mountInfoList.rbegin(), mountInfoList.rend(),
                                   [](const MountInfo& info) { return info.mountPoint == "/"; });
    if (root == mountInfoList.rend() || root->device.find("/dev/") == std::string::npos) {
        GTEST_SKIP() << "root file system is not a block device here";
    }
    std::atomic<bool> stop {false};
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(wake, 0);
    auto watcher = std::async(std::launch::async, [&] { return monitorFilesystemMountPoint(stop, wake); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool mounted = mkdir("/tmp/my view", 0755) == 0 && mount("/usr/share", "/tmp/my view", nullptr, MS_BIND, nullptr) == 0;
    const bool seen = mounted && waitFor([] { return getBindMountMap().count("/usr/share") == 1; }, 10);
    const uint64_t one = 1;
    ASSERT_EQ(write(wake, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
    if (watcher.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "watcher did not end";
        std::_Exit(1);
    }
    EXPECT_EQ(watcher.get(), 0);
    close(wake);
    ASSERT_TRUE(seen);
    EXPECT_EQ(translateBindMountPath("/usr/share/doc"), "/tmp/my view/doc");
}
