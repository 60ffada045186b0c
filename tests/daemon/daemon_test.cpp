// The daemon in a network namespace of its own (the instance socket's name
// is per namespace); the test is a child subreaper, so nothing outlives it.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/file_utils.h"
#include "common/paths.h"
#include "support/bus_client.h"
#include "support/expected_label.h"
#include "support/notify_stand_in.h"
#include "support/polkit_daemon.h"
#include "support/private_bus.h"
#include "support/log_capture.h"
#include "support/run_process.h"
#include "support/stub_program.h"
#include "support/temp_tree.h"

namespace {

const std::string kSelf = VETU_BINARY_DIR "/vetu-label-manager";
constexpr double kStartLimit = 30;

bool waitForLog(const std::string& text)
{
    return waitFor([&] { return ProgramLog().countContaining(text) > 0; }, kStartLimit);
}

// The wait status; -1 while it runs (a stop waiting on a hung thread or child).
int signalAndReap(pid_t pid, int sig)
{
    kill(pid, sig);
    int status = -1;
    waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, kStartLimit);
    return status;
}

// Context switches of every thread of the process so far.
[[maybe_unused]] long contextSwitches(pid_t pid)
{
    long sum = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::istringstream status(readFile(task.path().string() + "/status"));
        for (std::string word; status >> word;) {
            sum += word.find("ctxt_switches:") != std::string::npos && status >> word ? std::stol(word) : 0;
        }
    }
    return sum;
}

bool serviceNameOwned(double seconds = 0) { return busNameOwnedWithin("com.ormel.vetu.labelmgr", seconds); }

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        // No pause at exit, no leak report for threads a crash leaves.
        const char* tsan = getenv("TSAN_OPTIONS");
        setenv("TSAN_OPTIONS", (std::string(tsan ? tsan : "") + " atexit_sleep_ms=0 report_thread_leaks=0").c_str(), 1);
    }
    void TearDown() override  // ends the daemon and whatever it left
    {
        std::istringstream children(readFile("/proc/self/task/" + std::to_string(getpid()) + "/children"));
        for (pid_t child; children >> child;) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }

    // The daemon's pid as the lock file names it, or 0. The launcher, a
    // program and its arguments, runs the starter.
    pid_t start(const std::vector<std::string>& args = {}, std::vector<std::string> launcher = {})
    {
        launcher.push_back(kSelf);
        launcher.insert(launcher.end(), args.begin(), args.end());
        EXPECT_EQ(describe(runProcess(launcher, kStartLimit)), "exit 0") << ProgramLog().dump();
        return atoi(readFile(paths::kLockFile).c_str());
    }
};

}  // namespace

// The stop comes while the notify read waits.
TEST_F(DaemonTest, RunsAloneAndStopsInOrder)
{
    PrivateBus bus;
    PolkitDaemon polkit;
    NotifyStandIn notify;
    ASSERT_TRUE(bus.ok() && polkit.ok()) << bus.error();
    const pid_t pid = start();
    ASSERT_TRUE(pid > 0 && serviceNameOwned(30)) << ProgramLog().dump();
    ASSERT_TRUE(waitForLog("label init map end."));
    BusClient client;
    EXPECT_EQ(client.call("getPkgId", {argString("alpha")}), std::to_string(sm3Last64("alpha")));
    NotifyReply reply;  // a create (flag 1): status 0 and the label
    ASSERT_TRUE(notify.queue(7, 1, getpid(), "/opt/created") && notify.nextReply(reply));
    EXPECT_EQ(std::to_string(reply.id) + " " + std::to_string(reply.status) + " " + reply.label,
              "7 0 " + labelText({}, 0, {}, 5));
#ifndef __SANITIZE_THREAD__  // idle: at most one wake-up in 10 s; the sanitizer's thread wakes often
    const long before = contextSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_LE(contextSwitches(pid) - before, 4);
#endif
    // The shell tells its pid, then becomes a second starter: which is no conflict.
    const ProcessResult second = runProcess({"/bin/sh", "-c", "echo $$; exec \"$0\"", kSelf}, kStartLimit);
    EXPECT_EQ(describe(second), "exit 1");
    EXPECT_TRUE(ProgramLog().has("  Conflict PID: " + std::to_string(pid) + ", Path: " + kSelf, "ERROR"));
    const std::string starter = second.output.substr(0, second.output.find('\n'));
    EXPECT_EQ(ProgramLog().countContaining("Conflict PID: " + starter + ","), 0u);
    EXPECT_TRUE(serviceNameOwned());
    const std::string pidLine = std::to_string(pid) + "\n";
    EXPECT_EQ(readFile(paths::kLockFile) + readFile(paths::kPidFile), pidLine + pidLine);

    kill(bus.pid(), SIGKILL);  // ends neither the daemon nor its kernel service
    ASSERT_TRUE(waitForLog("the bus connection was lost"));
    ASSERT_TRUE(notify.queue(8, 1, getpid(), "/opt/created") && notify.nextReply(reply));
    EXPECT_EQ(reply.id, 8u);

    EXPECT_EQ(signalAndReap(pid, SIGTERM), 0);
    const long busExit = ProgramLog().indexOf("vetu dbus service exit.");
    EXPECT_TRUE(busExit >= 0 && busExit < ProgramLog().indexOf("vetu labler manager service end."));
}

// The stop signals are caught by the time the starter returns: strace stops
// the daemon at its first system call after it told the starter (its second
// umask). An inherited "ignore" of SIGINT stays; SIGPIPE is logged; SIGABRT
// gives the crash report on descriptor 2 (a file over /dev/null), in the log,
// and exit 1.
TEST_F(DaemonTest, SignalsAndCrashReport)
{
    TempTree tree;
    const std::string stderrFile = tree.file("stderr");
    ASSERT_EQ(mount(stderrFile.c_str(), "/dev/null", nullptr, MS_BIND, nullptr), 0);
    signal(SIGINT, SIG_IGN);
    const pid_t pid = start({}, {"/usr/bin/strace", "-D", "-f", "-qq", "-o", "/dev/null", "-e", "trace=umask", "-e",
                                 "inject=umask:signal=SIGSTOP:when=2"});
    signal(SIGINT, SIG_DFL);
    ASSERT_GT(pid, 0);
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    ASSERT_TRUE(waitFor([&] { return readFile(status).find("\nState:\tt") != std::string::npos; }, kStartLimit));
    const uint64_t stopSignals = (1ull << (SIGHUP - 1)) | (1ull << (SIGTERM - 1));
    EXPECT_EQ(procSignalSet(status, "SigCgt") & stopSignals, stopSignals);
    EXPECT_TRUE(procSignalSet(status, "SigIgn") & (1ull << (SIGINT - 1)));
    kill(pid, SIGCONT);
    ASSERT_TRUE(waitForLog("vetu labler manager service begin."));
    kill(pid, SIGINT);
    kill(pid, SIGPIPE);
    ASSERT_TRUE(waitForLog("SIGPIPE received, ignoring")) << ProgramLog().dump();
    EXPECT_EQ(kill(pid, 0), 0);
    EXPECT_EQ(signalAndReap(pid, SIGABRT), 1 << 8);  // exit 1
    umount2("/dev/null", MNT_DETACH);
    const std::string report =
        "SIGABRT (Abort)\n-------------------Stack trace begin------------------------------------------------\n";
    for (const std::string& written : {readFile(stderrFile), readFile(paths::kLogFile)}) {
        EXPECT_NE(written.find(report), std::string::npos) << written;
    }
}

// A leftover lock file is no obstacle; "-i" writes no pid file. rpm, holding
// no descriptor above 2, never answers the start-up build, which a call waits
// for: the stop ends rpm and its child at once; the call is answered.
TEST_F(DaemonTest, IncrementFormOverALeftoverLockStopsDuringTheStartupBuild)
{
    PrivateBus bus;
    PolkitDaemon polkit;
    ASSERT_TRUE(bus.ok() && polkit.ok()) << bus.error();
    std::ofstream(paths::kLockFile) << "4242424242424242\n";  // longer than any pid
    StubRpm rpm("sleep 600 & echo $! $$ > \"$STUB_DIR/pids\"; exec sleep 600\n");
    const std::string pidsFile = rpm.writeData("pids", "");
    const pid_t pid = start({"-i", "x"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(readFile(paths::kLockFile), std::to_string(pid) + "\n");
    EXPECT_NE(access(paths::kPidFile, F_OK), 0);
    ASSERT_TRUE(waitFor([&] { return !rpm.calls().empty() && serviceNameOwned(); }, kStartLimit));
    pid_t background = 0, child = 0;
    ASSERT_TRUE(waitFor([&] {
        std::istringstream(readFile(pidsFile)) >> background >> child;
        return child > 0 && readFile("/proc/" + std::to_string(child) + "/comm") == "sleep\n";
    }, kStartLimit));
    std::string fds;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/fd")) {
        fds += fd.path().filename().string() + " ";
    }
    EXPECT_EQ(fds.size(), 6u) << fds;  // 0, 1 and 2 in any order
    BusClient client;
    DBusPendingCall* waiting = client.send("getPkgId", {argString("alpha")});
    ASSERT_TRUE(waitFor([&] { return !polkit.queries().empty(); }, kStartLimit));  // the call runs

    EXPECT_EQ(signalAndReap(pid, SIGHUP), 0);
    EXPECT_NE(client.collect(waiting, 1000), "");
    for (const pid_t left : {background, child}) {  // orphans come to the test, which reaps them
        EXPECT_TRUE(waitFor([left] { return waitpid(left, nullptr, WNOHANG) == left || kill(left, 0) != 0; }, 2))
            << left;
    }
}
