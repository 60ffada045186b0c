// The executable as a daemon, in the test's mount namespace and a network
// namespace of its own (the instance socket's name is per network
// namespace). The test process is a child subreaper, so the daemon comes
// back to it when its starter exits, and nothing outlives the test.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/paths.h"
#include "support/program_log.h"
#include "support/run_process.h"
#include "support/stub_rpm.h"
#include "support/temp_tree.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kSelf = VETU_BINARY_DIR "/vetu-label-manager";
const std::string kEndMilestone = "vetu labler manager service end.";
constexpr double kStartLimit = 30;
constexpr double kWaitLimit = 30;
// A stop must be complete within this, however the threads stand.
constexpr double kStopLimit = 2;

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool waitFor(const std::function<bool()>& done, double seconds = kWaitLimit)
{
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool waitForLog(const std::string& text)
{
    return waitFor([&] { return ProgramLog().has(text); });
}

struct Ending {
    std::string how = "still running";  // "exit N" or "signal N"
    double seconds = 0;                 // from the signal to the reaping
};

// Sends sig to the daemon and reaps it.
Ending signalAndReap(pid_t pid, int sig)
{
    Ending ending;
    const auto sent = Clock::now();
    kill(pid, sig);
    waitFor([&] {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != pid) {
            return false;
        }
        ending.seconds = std::chrono::duration<double>(Clock::now() - sent).count();
        ending.how = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                       : "signal " + std::to_string(WTERMSIG(status));
        return true;
    });
    return ending;
}

// Ends and reaps every child of this process (the daemon and whatever it
// left behind).
void endChildren()
{
    for (int round = 0; round < 10; ++round) {
        std::istringstream children(readFile("/proc/self/task/" + std::to_string(getpid()) + "/children"));
        pid_t child;
        bool any = false;
        while (children >> child) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            any = true;
        }
        if (!any) {
            return;
        }
    }
}

// The mask of a "SigIgn:"-style line of /proc/<pid>/status.
unsigned long long signalMask(pid_t pid, const std::string& field)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::stoull(line.substr(field.size() + 1), nullptr, 16);
        }
    }
    return 0;
}

bool inMask(unsigned long long mask, int sig)
{
    return (mask >> (sig - 1)) & 1;
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        // A thread sanitizer build would pause a second at every exit, and
        // count the threads a crash or a stuck stop leaves behind as leaks.
        const char* tsan = getenv("TSAN_OPTIONS");
        setenv("TSAN_OPTIONS", (std::string(tsan ? tsan : "") + " atexit_sleep_ms=0 report_thread_leaks=0").c_str(),
               1);
        clearProgramLog();
        unlink(paths::kPidFile);
        unlink(paths::kLockFile);
    }
    void TearDown() override { endChildren(); }

    // Starts the daemon; its pid as the lock file names it, or -1.
    pid_t start(const std::vector<std::string>& args = {})
    {
        const ProcessResult result = runLabelManager(args, kStartLimit);
        EXPECT_EQ(describe(result), "exit 0") << ProgramLog().dump();
        const std::string lock = readFile(paths::kLockFile);
        return result.status == 0 && !lock.empty() ? std::stoi(lock) : -1;
    }
};

}  // namespace

TEST_F(DaemonTest, RunsAloneAndStopsInOrder)
{
    const pid_t pid = start();
    ASSERT_GT(pid, 0);
    const std::string pidLine = std::to_string(pid) + "\n";
    EXPECT_EQ(readFile(paths::kLockFile), pidLine);
    EXPECT_EQ(readFile(paths::kPidFile), pidLine);
    ASSERT_TRUE(waitForLog("label init map end.")) << ProgramLog().dump();

    // The lock and every socket stay out of the programs the daemon runs.
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
    int guarded = 0;
    for (int fd = 3; fd < 64; ++fd) {
        char target[256] = {};
        if (readlink((fdDir + std::to_string(fd)).c_str(), target, sizeof(target) - 1) <= 0) {
            continue;
        }
        if (std::string(target) == paths::kLockFile || std::string(target).rfind("socket:", 0) == 0) {
            ++guarded;
            const std::string info = readFile("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
            const size_t at = info.find("flags:");
            ASSERT_NE(at, std::string::npos);
            EXPECT_TRUE(std::stoul(info.substr(at + 6), nullptr, 8) & O_CLOEXEC) << target;
        }
    }
    EXPECT_GE(guarded, 2);

    // The shell tells the starter's pid, then becomes it.
    const ProcessResult second = runProcess({"/bin/sh", "-c", "echo $$; exec \"$0\"", kSelf}, kStartLimit);
    EXPECT_EQ(describe(second), "exit 1");
    const std::string starter = second.output.substr(0, second.output.find('\n'));
    const ProgramLog log;
    EXPECT_TRUE(log.has("Duplicate instance detected (abstract socket in use)", "ERROR")) << log.dump();
    EXPECT_TRUE(log.has("  Conflict PID: " + std::to_string(pid) + ", Path: " + kSelf, "ERROR")) << log.dump();
    // The starter waiting for the answer is no other instance.
    EXPECT_EQ(log.countContaining("Conflict PID: " + starter + ","), 0u) << log.dump();
    EXPECT_TRUE(log.has("vetu label manager: Duplicate instance detected.", "ERROR")) << log.dump();
    EXPECT_EQ(kill(pid, 0), 0);
    EXPECT_EQ(readFile(paths::kLockFile), pidLine);
    EXPECT_EQ(readFile(paths::kPidFile), pidLine);

    const Ending ending = signalAndReap(pid, SIGTERM);
    EXPECT_EQ(ending.how, "exit 0");
    EXPECT_LT(ending.seconds, kStopLimit);
    const ProgramLog after;
    EXPECT_LT(after.indexOf("vetu dbus service exit."), after.indexOf(kEndMilestone)) << after.dump();
    EXPECT_GE(after.indexOf("vetu dbus service exit."), 0) << after.dump();
}

// A crashed daemon's lock file is no obstacle; "-i" writes no pid file.
TEST_F(DaemonTest, IncrementFormStartsOverALeftoverLockFile)
{
    std::ofstream(paths::kLockFile) << "4242\n";
    const pid_t pid = start({"-i", "x"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(readFile(paths::kLockFile), std::to_string(pid) + "\n");
    EXPECT_NE(access(paths::kPidFile, F_OK), 0);
    ASSERT_TRUE(waitForLog("vetu labler manager service begin."));
    EXPECT_TRUE(ProgramLog().has("vetu label increment is not supported."));

    const Ending ending = signalAndReap(pid, SIGHUP);
    EXPECT_EQ(ending.how, "exit 0");
    EXPECT_LT(ending.seconds, kStopLimit);
    EXPECT_TRUE(ProgramLog().has(kEndMilestone)) << ProgramLog().dump();
}

// An inherited "ignore" of SIGINT stays; SIGPIPE is logged; SIGABRT sent by
// kill gives the crash report on descriptor 2 (here a file bound over
// /dev/null) and in the log file, and exit status 1.
TEST_F(DaemonTest, SignalsFromOutside)
{
    TempTree tree;
    const std::string stderrFile = tree.file("stderr");
    ASSERT_EQ(mount(stderrFile.c_str(), "/dev/null", nullptr, MS_BIND, nullptr), 0);
    signal(SIGINT, SIG_IGN);
    const pid_t pid = start();
    signal(SIGINT, SIG_DFL);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog("vetu labler manager service begin."));

    EXPECT_TRUE(inMask(signalMask(pid, "SigIgn"), SIGINT));
    EXPECT_TRUE(inMask(signalMask(pid, "SigCgt"), SIGTERM));
    EXPECT_TRUE(inMask(signalMask(pid, "SigCgt"), SIGHUP));
    kill(pid, SIGINT);
    kill(pid, SIGPIPE);
    ASSERT_TRUE(waitForLog("SIGPIPE received, ignoring")) << ProgramLog().dump();
    EXPECT_EQ(kill(pid, 0), 0);
    EXPECT_FALSE(ProgramLog().has(kEndMilestone));

    const Ending ending = signalAndReap(pid, SIGABRT);
    umount2("/dev/null", MNT_DETACH);
    EXPECT_EQ(ending.how, "exit 1");
    const std::string begin =
        "SIGABRT (Abort)\n-------------------Stack trace begin------------------------------------------------\n";
    const std::string end = "-------------------Stack trace end------------------------------------------------\n";
    for (const std::string& report : {readFile(stderrFile), readFile(paths::kLogFile)}) {
        const size_t at = report.find(begin);
        ASSERT_NE(at, std::string::npos) << report;
        EXPECT_NE(report.find(end, at), std::string::npos) << report;
        EXPECT_EQ(report.back(), '\n');
    }
    EXPECT_FALSE(ProgramLog().has(kEndMilestone));
}

// The start-up build waits on rpm, which never answers: the stop does not.
TEST_F(DaemonTest, StopDuringTheStartupBuild)
{
    StubRpm rpm("sleep 600\n");
    const pid_t pid = start();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitFor([&] { return !rpm.calls().empty(); }));

    const Ending ending = signalAndReap(pid, SIGTERM);
    EXPECT_EQ(ending.how, "exit 0");
    EXPECT_LT(ending.seconds, kStopLimit) << ProgramLog().dump();
    const ProgramLog log;
    EXPECT_TRUE(log.has(kEndMilestone)) << log.dump();
    EXPECT_FALSE(log.has("label init map end.")) << log.dump();
}
