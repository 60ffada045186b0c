#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/file_utils.h"
#include "restore/notify_channel.h"
#include "restore/notify_message.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/log_capture.h"
#include "support/named_process.h"
#include "support/notify_stand_in.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

namespace {

using Clock = std::chrono::steady_clock;

// A path with no entry, no policy and nothing below it.
const std::string kUnmatchedLabel = labelText({}, 0, {}, 5);

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool waitFor(const std::function<bool()>& done, double seconds)
{
    const auto start = Clock::now();
    while (!done()) {
        if (secondsSince(start) > seconds) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

size_t threadCount()
{
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class NotifyChannelTest : public testing::Test {
protected:
    void TearDown() override
    {
        if (m_thread.joinable()) {
            stopChannel(true);
        }
    }

    void startChannel()
    {
        m_stop = false;
        m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        m_thread = std::thread([this]() { monitorFileCreateAndRename(m_stop, m_wake, store); });
    }

    // Seconds from the stop flag to the thread's end.
    double stopChannel(bool wake)
    {
        const auto start = Clock::now();
        m_stop = true;
        const uint64_t one = 1;
        if (wake) {
            EXPECT_EQ(write(m_wake, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
        }
        m_thread.join();
        close(m_wake);
        return secondsSince(start);
    }

    // Sends a create request and returns its reply, checked for the id.
    std::optional<NotifyReply> create(const std::string& path, int32_t pid = getpid(), double seconds = 5)
    {
        const uint32_t id = m_nextId++;
        EXPECT_TRUE(standIn->queue(id, kNotifyFlagCreate, pid, path));
        NotifyReply reply;
        if (!standIn->nextReply(reply, seconds)) {
            return std::nullopt;
        }
        EXPECT_EQ(reply.id, id);
        return reply;
    }

    VetuRestoreInit store;
    std::unique_ptr<NotifyStandIn> standIn = std::make_unique<NotifyStandIn>();
    uint32_t m_nextId = 1;

private:
    std::atomic<bool> m_stop{false};
    int m_wake = -1;
    std::thread m_thread;
};

}  // namespace

// Each request is answered from its own path only: rewritten as the store
// knows it, cut at a NUL, never with an earlier request's label; other flags
// get no reply (the next reply's id shows it).
TEST_F(NotifyChannelTest, CreateRequestsAnswerTheComputedLabel)
{
    const std::string owned = "/usr/lib/a/x.so";
    store.identityDataUserConfigPid.set("pkgA", 0xa1);
    store.insertFileOfPkgToMap(owned, "pkgA", kPkgTypeRpm);
    store.identityDataDirSpathid.set("/usr/lib", 0x51);
    store.identityDataUserConfigTid.set("/opt/free/a", 0x33);
    store.identityDataUserConfigTid.set("/sysroot/opt/t", 0x44);
    store.identityDataUserConfigTid.set("/sysrootx/y", 0x45);
    LogCapture log;
    startChannel();

    struct Case {
        uint32_t flag;
        std::string path;
        std::string label;
        bool answered = true;
    } cases[] = {
        {kNotifyFlagCreate, owned, labelText({0xa1, sm3Last64(owned), 0x51}, 0, {0xa1, 0, 0}, 7)},
        {kNotifyFlagCreate, "", ""},  // a 12-byte request, right after a labelled one
        {kNotifyFlagCreate, "/opt/free/new", kUnmatchedLabel},
        {kNotifyFlagCreate, std::string("/opt/free/a\0junk", 16), labelText({}, 0x33, {}, 5)},
        {kNotifyFlagCreate, "/tmproot//opt/t/", labelText({}, 0x44, {}, 5)},
        {kNotifyFlagCreate, "/tmprootx/y", labelText({}, 0x45, {}, 5)},
        {0, "/opt/free/zero", "", false},
        {3, "/opt/free/three", "", false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_TRUE(standIn->queue(static_cast<uint32_t>(100 + i), cases[i].flag, getpid(), cases[i].path));
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        NotifyReply reply;
        if (cases[i].answered) {
            ASSERT_TRUE(standIn->nextReply(reply)) << i;
            EXPECT_EQ(reply.id, 100 + i);
            EXPECT_EQ(reply.status, kNotifyStatusLabel) << i;
            EXPECT_EQ(reply.label, cases[i].label) << i;
        }
    }
    const auto last = create("/opt/free/last");
    ASSERT_TRUE(last.has_value()) << "flag 0 or 3 was answered";
    EXPECT_EQ(log.count("invalid message flag!", "ERROR"), 2u);
}

TEST(NotifyMessageTest, ReplyCutsALongLabelTo4087Bytes)
{
    char buffer[kNotifyBufferSize];
    const std::string label(5000, 'x');
    ASSERT_EQ(buildNotifyReply(7, kNotifyStatusLabel, label, buffer), 4095u);
    EXPECT_EQ(std::string(buffer + kNotifyReplyHeader, 4087), label.substr(0, 4087));
    EXPECT_EQ(buffer[4095], '\0');
}

// Name and executable both must be a package manager's; the executable comes
// from the path attribute, else /proc/<pid>/exe.
TEST_F(NotifyChannelTest, PackageManagersAreRecognisedByNameAndExecutable)
{
    struct Case {
        const char* name;
        NamedProcess::State state;
        const char* pathAttr;  // null: no attribute file
        uint32_t status;
        bool spoofing;
    } cases[] = {
        {"rpm", NamedProcess::State::Stopped, "/usr/bin/dnf", kNotifyStatusPackageManager, false},
        {"rpm", NamedProcess::State::Stopped, "/tmp/rpm", kNotifyStatusLabel, true},
        {"dpkg", NamedProcess::State::Stopped, nullptr, kNotifyStatusLabel, true},  // exe: the test binary
        {"rpm", NamedProcess::State::Zombie, nullptr, kNotifyStatusLabel, false},   // no exe either
        {"Rpm", NamedProcess::State::Stopped, "/usr/bin/rpm", kNotifyStatusLabel, false},
        {"rpm2", NamedProcess::State::Stopped, "/usr/bin/rpm", kNotifyStatusLabel, false},
    };
    std::vector<std::unique_ptr<NamedProcess>> children;
    for (const auto& c : cases) {
        children.push_back(std::make_unique<NamedProcess>(c.name, c.state));
        ASSERT_GT(children.back()->pid(), 0);
        if (c.pathAttr != nullptr) {
            ASSERT_TRUE(sandbox::mountProcAttr(children.back()->pid()));
            ASSERT_TRUE(writeFile("/proc/" + std::to_string(children.back()->pid()) + "/attr/vetu/path", c.pathAttr));
        }
    }
    LogCapture log;
    startChannel();
    for (size_t i = 0; i < std::size(cases); ++i) {
        log.clear();
        const auto reply = create("/opt/pm/new", children[i]->pid());
        ASSERT_TRUE(reply.has_value()) << cases[i].name;
        EXPECT_EQ(reply->status, cases[i].status) << i;
        EXPECT_EQ(reply->label, cases[i].status == kNotifyStatusLabel ? kUnmatchedLabel : "") << i;
        EXPECT_EQ(log.countContaining("possible spoofing", "WARN"), cases[i].spoofing ? 1u : 0u) << i;
    }
    // A pid that names no process has no name.
    const auto vanished = create("/opt/pm/new", 0x7ffffff0);
    ASSERT_TRUE(vanished.has_value());
    EXPECT_EQ(vanished->label, kUnmatchedLabel);
}

// A file gets its own label, a directory its tree, a link to a directory
// only its own label.
TEST_F(NotifyChannelTest, RenamesRelabelFilesTreesAndLinks)
{
    TempTree tree;
    const std::string file = tree.file("f");
    const std::string dir = tree.dir("d");
    const std::string inner = tree.file("d/s/g");
    const std::string target = tree.file("t/h");
    const std::string link = tree.symlink("l", tree.path("t"));
    struct Case {
        std::string renamed;
        std::vector<std::string> labelled;
        std::vector<std::string> untouched;
    } cases[] = {
        {file, {file}, {}},
        {dir, {dir, tree.path("d/s"), inner}, {}},
        {link, {link}, {tree.path("t"), target}},
    };
    startChannel();
    for (const auto& c : cases) {
        ASSERT_TRUE(standIn->queue(m_nextId++, kNotifyFlagRename, getpid(), c.renamed));
        for (const auto& path : c.labelled) {
            EXPECT_TRUE(waitFor([&]() { return readXattr(path) == kUnmatchedLabel; }, 5)) << path;
        }
        for (const auto& path : c.untouched) {
            EXPECT_EQ(readXattr(path), "") << path;
        }
    }
}

// The flood is worked off by the channel's own workers: no thread per rename.
TEST_F(NotifyChannelTest, BurstOfRenamesLabelsAllOnBoundedThreads)
{
    TempTree tree;
    std::vector<std::string> files;
    for (int i = 0; i < 1000; ++i) {
        files.push_back(tree.file("f" + std::to_string(i)));
    }
    startChannel();
    ASSERT_TRUE(create("/opt/warm").has_value());
    const size_t before = threadCount();
    for (const auto& file : files) {
        ASSERT_TRUE(standIn->queue(m_nextId++, kNotifyFlagRename, getpid(), file));
    }
    size_t most = before;
    size_t next = 0;
    const bool done = waitFor(
        [&]() {
            most = std::max(most, threadCount());
            while (next < files.size() && readXattr(files[next]) == kUnmatchedLabel) {
                ++next;
            }
            return next == files.size();
        },
        60);
    EXPECT_TRUE(done) << "labelled " << next << " of " << files.size();
    EXPECT_LE(most, before);
}

// The thread ends within a second of the stop flag whether or not the file
// is there, blocked between requests, with or without the eventfd written.
TEST_F(NotifyChannelTest, StopEndsTheThreadWithinOneSecond)
{
    struct Case {
        bool notifyFile;
        bool wake;
    } cases[] = {{false, true}, {true, true}, {true, false}};
    for (const auto& c : cases) {
        if (!c.notifyFile) {
            standIn.reset();
            unlink("/sys/kernel/security/vetu/common/notify");
        } else if (!standIn) {
            standIn = std::make_unique<NotifyStandIn>();
        }
        startChannel();
        if (c.notifyFile) {
            ASSERT_TRUE(create("/opt/x").has_value());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LT(stopChannel(c.wake), 1.0) << c.notifyFile << c.wake;
    }
}

// With the file's server gone reads fail at once: the thread must neither
// spin nor stop serving, and comes back to a new server.
TEST_F(NotifyChannelTest, ServerDeathPausesAndServingResumes)
{
    startChannel();
    ASSERT_TRUE(create("/opt/before").has_value());
    standIn->killServer();
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.3);

    standIn.reset();
    standIn = std::make_unique<NotifyStandIn>();
    const auto reply = create("/opt/after", getpid(), 15);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->label, kUnmatchedLabel);
    EXPECT_LT(stopChannel(false), 1.0);
}
