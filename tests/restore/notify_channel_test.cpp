#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/file_utils.h"
#include "common/paths.h"
#include "restore/notify_channel.h"
#include "restore/notify_message.h"
#include "restore/process_probe.h"
#include "store/vetu_restore_init.h"
#include "support/expected_label.h"
#include "support/log_capture.h"
#include "support/run_process.h"
#include "support/notify_stand_in.h"
#include "support/sandbox.h"
#include "support/temp_tree.h"

namespace {

// A path with no entry, no policy and nothing below it.
const std::string kUnmatchedLabel = labelText({}, 0, {}, 5);

// As in the daemon, the interrupt is blocked before any thread starts.
struct InterruptBlocked {
    InterruptBlocked() { blockNotifyInterrupt(); }
};

// The channel thread on the test's store, with the stand-in mounted.
class NotifyChannelTest : public testing::Test, private InterruptBlocked {
protected:
    void TearDown() override
    {
        if (m_thread.joinable()) {
            stopChannel();
        }
    }

    void startChannel()
    {
        m_stop = false;
        m_ended = false;
        m_thread = std::thread([this]() {
            m_tid = gettid();
            monitorFileCreateAndRename(m_stop, store);
            m_ended = true;
        });
    }

    // Sets the stop flag and interrupts the thread as the daemon does; true
    // when that ended it within 3 s. Otherwise the stand-in's server is
    // killed, which fails a parked read, and the thread is joined.
    bool stopChannel()
    {
        m_stop = true;
        const bool interrupted = waitFor(
            [this] {
                interruptNotifyRead(m_thread.native_handle());
                return m_ended.load();
            },
            3);
        if (!interrupted && standIn) {
            standIn->killServer();
        }
        m_thread.join();
        return interrupted;
    }

    // The thread ids of this process that take SIGURG.
    static std::vector<pid_t> threadsTakingSigurg()
    {
        std::vector<pid_t> taking;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            if ((procSignalSet(task.path().string() + "/status", "SigBlk") & (1ull << (SIGURG - 1))) == 0) {
                taking.push_back(std::stoi(task.path().filename().string()));
            }
        }
        return taking;
    }

    // A create request's reply; id 0 when none came.
    NotifyReply create(const std::string& path, int32_t pid = getpid(), double seconds = 5)
    {
        const uint32_t id = m_nextId++;
        NotifyReply reply;
        EXPECT_TRUE(standIn->queue(id, 1, pid, path) && standIn->nextReply(reply, seconds));  // 1: create
        EXPECT_EQ(reply.id, id) << path;
        return reply;
    }

    VetuRestoreInit store;
    std::unique_ptr<NotifyStandIn> standIn = std::make_unique<NotifyStandIn>();
    uint32_t m_nextId = 1;
    std::atomic<pid_t> m_tid{0};  // the channel thread's

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ended{false};
    std::thread m_thread;
};

}  // namespace

// Each request is answered from its own path only: rewritten as the store
// knows it, cut at a NUL, never with an earlier request's label; other flags
// get no reply (the id of the reply after them shows it).
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
    } cases[] = {
        {kNotifyFlagCreate, owned, labelText({0xa1, sm3Last64(owned), 0x51}, 0, {0xa1, 0, 0}, 7)},
        {kNotifyFlagCreate, "", ""},  // a 12-byte request, right after a labelled one
        {kNotifyFlagCreate, "/opt/free/new", kUnmatchedLabel},
        {kNotifyFlagCreate, std::string("/opt/free/a\0junk", 16), labelText({}, 0x33, {}, 5)},
        {kNotifyFlagCreate, "/tmproot//opt/t/", labelText({}, 0x44, {}, 5)},
        {kNotifyFlagCreate, "/tmprootx/y", labelText({}, 0x45, {}, 5)},
        {0, "/opt/free/zero", ""},
        {3, "/opt/free/three", ""},
    };
    for (const auto& c : cases) {
        if (c.flag != kNotifyFlagCreate) {
            ASSERT_TRUE(standIn->queue(m_nextId++, c.flag, getpid(), c.path));
            continue;
        }
        const NotifyReply reply = create(c.path);
        EXPECT_EQ(reply.status, 0u);  // a label follows
        EXPECT_EQ(reply.label, c.label) << c.path;
    }
    EXPECT_EQ(create("/opt/free/last").label, kUnmatchedLabel);
    stopChannel();  // its last lines come after its last reply
    EXPECT_EQ(log.count("invalid message flag!", "ERROR"), 2u);
}

TEST(NotifyMessageTest, ReplyCutsALongLabelTo4087Bytes)
{
    char buffer[kNotifyBufferSize];
    const std::string label(5000, 'x');
    ASSERT_EQ(buildNotifyReply(7, kNotifyStatusLabel, label, buffer), 4095u);
    EXPECT_EQ(std::string(buffer + kNotifyReplyHeader, 4088), label.substr(0, 4087) + '\0');
}

// Name and executable both must be a package manager's; the executable comes
// from the path attribute, else /proc/<pid>/exe. A vanished pid has no name.
TEST_F(NotifyChannelTest, PackageManagersAreRecognisedByNameAndExecutable)
{
    using State = NamedProcess::State;
    struct Case {
        const char* name;
        State state;
        const char* pathAttr;  // null: no attribute file
        uint32_t status;
        bool spoofing;
    } cases[] = {
        {"rpm", State::Stopped, "/usr/bin/dnf", kNotifyStatusPackageManager, false},
        {"rpm", State::Stopped, "/tmp/rpm", kNotifyStatusLabel, true},
        {"dpkg", State::Stopped, nullptr, kNotifyStatusLabel, true},  // exe: the test binary
        {"rpm", State::Zombie, nullptr, kNotifyStatusLabel, false},   // no exe either
        {"Rpm", State::Stopped, "/usr/bin/rpm", kNotifyStatusLabel, false},
        {"rpm2", State::Stopped, "/usr/bin/rpm", kNotifyStatusLabel, false},
        {nullptr, State::Stopped, nullptr, kNotifyStatusLabel, false},
    };
    std::vector<std::unique_ptr<NamedProcess>> children;
    for (const auto& c : cases) {
        children.push_back(c.name ? std::make_unique<NamedProcess>(c.name, c.state) : nullptr);
        if (c.pathAttr != nullptr) {
            const int pid = children.back()->pid();
            ASSERT_TRUE(sandbox::mountProcAttr(pid));
            ASSERT_TRUE(writeFile("/proc/" + std::to_string(pid) + "/attr/vetu/path", c.pathAttr));
        }
    }
    LogCapture log;
    startChannel();
    for (size_t i = 0; i < std::size(cases); ++i) {
        log.clear();
        const NotifyReply reply = create("/opt/pm/new", children[i] ? children[i]->pid() : 0x7ffffff0);
        EXPECT_EQ(reply.status, cases[i].status) << i;
        EXPECT_EQ(reply.label, cases[i].status == kNotifyStatusLabel ? kUnmatchedLabel : "") << i;
        create("/opt/pm/after");  // a request's lines follow its reply, before the next request
        EXPECT_EQ(log.countContaining("possible spoofing", "WARN"), cases[i].spoofing ? 1u : 0u) << i;
    }
    stopChannel();  // its last lines come after its last reply
}

// The name is read afresh for each request even while the last process's
// file stays open; a reaped process has no name.
TEST(ProcessCommReaderTest, NamesAreFreshAndGoWithTheProcess)
{
    char own[16] = {};
    ASSERT_EQ(prctl(PR_GET_NAME, own), 0);
    ProcessCommReader reader;
    std::string names;
    for (const char* name : {"vetu-one", "vetu-two"}) {
        prctl(PR_SET_NAME, name);
        names += reader.getProcessComm(getpid()) + " ";
    }
    prctl(PR_SET_NAME, own);
    auto child = std::make_unique<NamedProcess>("gone");
    const pid_t pid = child->pid();
    names += reader.getProcessComm(pid) + " ";
    child.reset();
    names += reader.getProcessComm(pid);
    EXPECT_EQ(names, "vetu-one vetu-two gone ");
}

// Renames are worked off by the channel's own workers, not a thread each: a
// file gets its own label, a directory its tree, a link to a directory only
// its own label.
TEST_F(NotifyChannelTest, RenamesRelabelOnBoundedThreads)
{
    TempTree tree;
    std::vector<std::string> renamed = {tree.path("d"), tree.symlink("l", tree.dir("t"))};
    for (int i = 0; i < 1000; ++i) {
        renamed.push_back(tree.file("f" + std::to_string(i)));
    }
    std::vector<std::string> labelled = renamed;
    labelled.push_back(tree.file("d/s/g"));
    labelled.push_back(tree.path("d/s"));
    const std::string untouched = tree.file("t/h");
    const auto threads = []() {
        const std::filesystem::directory_iterator tasks("/proc/self/task");
        return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
    };
    startChannel();
    create("/opt/warm");
    const size_t before = threads();
    for (const auto& path : renamed) {
        ASSERT_TRUE(standIn->queue(m_nextId++, kNotifyFlagRename, getpid(), path));
    }
    size_t most = before;
    size_t done = 0;
    EXPECT_TRUE(waitFor(
        [&]() {
            most = std::max(most, threads());
            while (done < labelled.size() && readXattr(labelled[done]) == kUnmatchedLabel) {
                ++done;
            }
            return done == labelled.size();
        },
        60))
        << labelled[done];
    EXPECT_LE(most, before);
    EXPECT_EQ(readXattr(tree.path("t")) + readXattr(untouched), "");
}

// A parked read is answered when the request comes; reads that return
// nothing are read again, and a create after 40 of them is answered at once.
// With the file's server gone reads fail at once: the thread must neither
// spin nor stop serving, and serves the next server. Only the thread itself
// takes the interrupt (its rename workers do not), whose handler does not
// restart a read: the interrupt ends it at the stop while its read is parked
// and while the file is absent (there it cuts a 5 s pause short).
TEST_F(NotifyChannelTest, ParkedAndEmptyReadsServerDeathAndStop)
{
    startChannel();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(create("/opt/parked").label, kUnmatchedLabel);
    EXPECT_EQ(threadsTakingSigurg(), std::vector<pid_t>{m_tid.load()});
    struct sigaction interrupt {};
    ASSERT_EQ(sigaction(SIGURG, nullptr, &interrupt), 0);
    EXPECT_TRUE(interrupt.sa_handler != SIG_DFL && interrupt.sa_handler != SIG_IGN);
    EXPECT_EQ(interrupt.sa_flags & SA_RESTART, 0);
    ASSERT_TRUE(standIn->queueEmptyReads(40));
    EXPECT_EQ(create("/opt/after-empty", getpid(), 0.5).label, kUnmatchedLabel);
    standIn->killServer();
    const std::clock_t cpuBefore = std::clock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.1);

    standIn.reset();
    standIn = std::make_unique<NotifyStandIn>();
    EXPECT_EQ(create("/opt/after", getpid(), 15).label, kUnmatchedLabel);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(stopChannel());

    standIn.reset();
    ASSERT_EQ(unlink(paths::kNotify), 0);
    startChannel();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(stopChannel());
}
