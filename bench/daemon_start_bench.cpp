// The daemon from its start to serving, over a stored signed identity pair
// of 3000 packages and 300k files: seconds until its bus name is owned and
// until it answers a kernel create request queued before the start, and
// its peak resident memory per file entry.
#include <benchmark/benchmark.h>

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "common/file_utils.h"
#include "common/paths.h"
#include "restore/notify_message.h"
#include "store/vetu_restore_init.h"
#include "support/bus_client.h"
#include "support/notify_stand_in.h"
#include "support/private_bus.h"
#include "support/run_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPackages = 3000;
constexpr int kFilesPerPackage = 100;

void storeIdentityPair()
{
    std::filesystem::create_directories(paths::kDataDir);
    VetuRestoreInit store;
    for (int p = 0; p < kPackages; ++p) {
        const std::string name = "bench-pkg-" + std::to_string(p);
        store.insertPkgidToMap(name, kPkgTypeRpm);
        const std::string dir = "/usr/share/" + name + "/";
        store.updateParentDirsCache(dir + "f0");
        for (int f = 0; f < kFilesPerPackage; ++f) {
            store.insertFileOfPkgToMap(dir + "data/entry_" + std::to_string(f) + ".dat", name, kPkgTypeRpm);
        }
    }
    store.identityDataDirSpathid.set("/opt/bench", 0x51);
    if (store.storePkgAndFileData() != 0 || store.storeIndentityData() != 0) {
        fprintf(stderr, "cannot store the identity pair\n");
        abort();
    }
}

// "VmHWM" (peak) or "VmRSS" (now) of the process, in KiB.
long memoryKiB(pid_t pid, const std::string& field)
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find(field + ":");
    return at == std::string::npos ? 0 : std::stol(status.substr(at + field.size() + 1));
}

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_DaemonStartToServing(benchmark::State& state)
{
    if (unshare(CLONE_NEWNET) != 0 || prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        state.SkipWithError("no namespace");
        return;
    }
    storeIdentityPair();
    PrivateBus bus;
    NotifyStandIn notify;
    double named = 0;
    double replied = 0;
    long peak = 0;
    long serving = 0;
    for (auto _ : state) {
        unlink(paths::kLockFile);
        notify.queue(1, kNotifyFlagCreate, getpid(), "/opt/bench/new");
        const auto start = Clock::now();
        if (runLabelManager({}, 60).status != 0) {
            state.SkipWithError("start failed");
            return;
        }
        const pid_t pid = std::stoi(readFile(paths::kLockFile));
        named = 0;
        while (named == 0 && since(start) < 60) {
            BusClient client;
            if (client.ok() && dbus_bus_name_has_owner(client.raw(), "com.ormel.vetu.labelmgr", nullptr)) {
                named = since(start);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        NotifyReply reply;
        replied = notify.nextReply(reply, 60) ? since(start) : 0;
        state.SetIterationTime(replied);
        peak = memoryKiB(pid, "VmHWM");
        serving = memoryKiB(pid, "VmRSS");
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    state.counters["bus_name_s"] = named;
    state.counters["kernel_reply_s"] = replied;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024;
    state.counters["peak_B_per_file"] = static_cast<double>(peak) * 1024 / (kPackages * kFilesPerPackage);
    state.counters["serving_rss_MiB"] = static_cast<double>(serving) / 1024;
}

}  // namespace

BENCHMARK(BM_DaemonStartToServing)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
