// Round trip of a create request through the notify file's FUSE stand-in:
// the real channel computing a label from a store of 10k indexed paths, 100
// patterns and 3000 packages of 100 files each, against an echo that blocks
// in read and writes a fixed reply. Both run in the same process on the same
// stand-in, pinned to the same two CPUs (the stand-in's server too), at the
// WARN level and at the default one (INFO); the counters give p50 and p99 of
// each, the ratio of the p50s, and the CPU per request of the channel's
// thread and of the echo's (system time of the FUSE calls included in both).
// own_cpu_us is the channel's CPU per create less the echo's, and
// p50_ratio_block the ratio of one block's p50s: medians with their spread
// over the blocks, and the machine's load beside them.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/logger.h"
#include "common/paths.h"
#include "ratio_counters.h"
#include "restore/notify_channel.h"
#include "restore/notify_message.h"
#include "restore/vetu_restore_context.h"
#include "store/vetu_restore_init.h"
#include "support/notify_stand_in.h"

namespace {

constexpr int kIndexedPaths = 10000;
constexpr int kPatternsPerMap = 25;  // four pattern maps: 100 patterns
constexpr int kPackages = 3000;
constexpr int kFilesPerPackage = 100;
constexpr int kPinnedCpus = 2;
// Each kind runs in alternating short blocks, so a change of machine load
// falls on both alike.
constexpr int kBlocks = 30;
constexpr int kRoundTrips = 100;
constexpr uint32_t kEchoStop = 99;

void fillStore(VetuRestoreInit& store)
{
    for (int i = 0; i < kIndexedPaths; ++i) {
        const uint64_t n = static_cast<uint64_t>(i);
        store.identityDataFileSid.set("/data/app" + std::to_string(i % 100) + "/file" + std::to_string(i),
                                      vetu_id_t{n, n, n});
    }
    for (int i = 0; i < kPatternsPerMap; ++i) {
        const uint64_t n = static_cast<uint64_t>(i);
        const std::string dir = "/srv/app" + std::to_string(i);
        store.identityDataFileWildcardOid.set(dir + "/*.conf", vetu_id_t{n, 0, 0});
        store.identityDataFileWildcardSid.set(dir + "/*.so", vetu_id_t{n, 0, 0});
        store.identityDataDirWSpathid.set(dir + "/lib*", n);
        store.identityDataDirWOpathid.set(dir + "/share*", n);
    }
    store.m_mapPathToIdentityType.store(store.buildIdentityDataIndex());
    for (int p = 0; p < kPackages; ++p) {
        const std::string name = "pkg" + std::to_string(p);
        std::vector<std::string> files;
        for (int f = 0; f < kFilesPerPackage; ++f) {
            files.push_back("/usr/lib/" + name + "/file" + std::to_string(f));
        }
        store.insertPkgidToMap(name, kPkgTypeRpm);
        store.insertFilesOfPkgToMap(files, name, kPkgTypeRpm);
        store.updateParentDirsCache(files);
    }
}

double cpuMicros(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// The calling thread (and whatever it starts) on the last two CPUs it may
// use; restored at the end.
class Pinned {
public:
    Pinned()
    {
        sched_getaffinity(0, sizeof(m_before), &m_before);
        cpu_set_t pinned;
        CPU_ZERO(&pinned);
        int taken = 0;
        for (int cpu = CPU_SETSIZE - 1; cpu >= 0 && taken < kPinnedCpus; --cpu) {
            if (CPU_ISSET(cpu, &m_before)) {
                CPU_SET(cpu, &pinned);
                ++taken;
            }
        }
        sched_setaffinity(0, sizeof(pinned), &pinned);
    }
    ~Pinned() { sched_setaffinity(0, sizeof(m_before), &m_before); }
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;

private:
    cpu_set_t m_before;
};

// Microseconds of each round trip; the first, which waits for the reader to
// start, is left out. cpu (when given) adds the reader's CPU microseconds
// over the timed ones.
std::vector<double> roundTrips(NotifyStandIn& standIn, const clockid_t* cpu = nullptr, double* cpuUsed = nullptr)
{
    std::vector<double> times;
    double cpuStart = 0;
    for (int i = -1; i < kRoundTrips; ++i) {
        // A new file in a package's directory, and a file of a package.
        const std::string dir = "/usr/lib/pkg" + std::to_string((i * 7 + 3) % kPackages);
        const std::string path = dir + (i % 2 ? "/new" + std::to_string(i) : "/file" + std::to_string(i % 100));
        if (i == 0 && cpu != nullptr) {
            cpuStart = cpuMicros(*cpu);
        }
        const auto start = std::chrono::steady_clock::now();
        std::string reply;
        if (!standIn.queue(static_cast<uint32_t>(i), kNotifyFlagCreate, getpid(), path) || !standIn.nextWrite(reply)) {
            break;
        }
        if (i >= 0) {
            times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
    }
    if (cpu != nullptr) {
        *cpuUsed += cpuMicros(*cpu) - cpuStart;
    }
    return times;
}

double percentile(const std::vector<double>& sorted, double p)
{
    return sorted.empty() ? 0 : sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
}

// The echo reads and writes an empty label at once.
std::vector<double> echoRoundTrips(NotifyStandIn& standIn, double& cpuUsed)
{
    std::thread echo([]() {
        const int fd = open(paths::kNotify, O_RDWR | O_CLOEXEC);
        char request[kNotifyBufferSize];
        char reply[kNotifyBufferSize];
        NotifyRequest parsed;
        while (fd >= 0) {
            const ssize_t n = read(fd, request, sizeof(request));
            if (n < 0 || !parseNotifyRequest(request, static_cast<size_t>(n), parsed) || parsed.flag == kEchoStop) {
                break;
            }
            (void)!write(fd, reply, buildNotifyReply(parsed.id, kNotifyStatusLabel, "", reply));
        }
        close(fd);
    });
    clockid_t cpu;
    pthread_getcpuclockid(echo.native_handle(), &cpu);
    std::vector<double> times = roundTrips(standIn, &cpu, &cpuUsed);
    standIn.queue(0, kEchoStop, 0, "");
    echo.join();
    return times;
}

// The channel as the daemon runs it: stopped by the flag and an interrupt.
std::vector<double> channelRoundTrips(NotifyStandIn& standIn, VetuRestoreInit& store, double& cpuUsed)
{
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
    std::thread channel([&]() {
        monitorFileCreateAndRename(stop, store);
        ended = true;
    });
    clockid_t cpu;
    pthread_getcpuclockid(channel.native_handle(), &cpu);
    std::vector<double> times = roundTrips(standIn, &cpu, &cpuUsed);
    stop = true;
    while (!ended) {
        interruptNotifyRead(channel.native_handle());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    channel.join();
    return times;
}

void BM_NotifyCreateRoundTrip(benchmark::State& state)
{
    const auto level = static_cast<log4cpp::Priority::Value>(state.range(0));
    Logger::getInstance();  // configured first: it sets the default level
    log4cpp::Category& root = log4cpp::Category::getRoot();
    const log4cpp::Priority::Value levelBefore = root.getPriority();
    root.setPriority(level);
    static VetuRestoreInit store;
    static const bool filled = (fillStore(store), true);
    (void)filled;

    Pinned pinned;
    NotifyStandIn standIn;
    const double loadStart = loadAverage();
    for (auto _ : state) {
        std::vector<double> echoTimes;
        std::vector<double> createTimes;
        // CPU microseconds per request of each block: the least disturbed
        // block shows the cost best on a busy machine.
        std::vector<double> cpuPerCreate;
        std::vector<double> echoCpuPerRequest;
        std::vector<double> ownCpu;
        std::vector<double> blockRatios;
        const auto append = [](std::vector<double>& all, const std::vector<double>& block) {
            all.insert(all.end(), block.begin(), block.end());
        };
        for (int block = 0; block < kBlocks; ++block) {
            double echoCpu = 0;
            double cpu = 0;
            std::vector<double> echoBlock = echoRoundTrips(standIn, echoCpu);
            std::vector<double> createBlock = channelRoundTrips(standIn, store, cpu);
            append(echoTimes, echoBlock);
            append(createTimes, createBlock);
            echoCpuPerRequest.push_back(echoCpu / kRoundTrips);
            cpuPerCreate.push_back(cpu / kRoundTrips);
            ownCpu.push_back((cpu - echoCpu) / kRoundTrips);
            const double echoBlock50 = median(echoBlock);
            if (echoBlock50 > 0) {
                blockRatios.push_back(median(createBlock) / echoBlock50);
            }
        }
        std::sort(echoTimes.begin(), echoTimes.end());
        std::sort(createTimes.begin(), createTimes.end());
        std::sort(cpuPerCreate.begin(), cpuPerCreate.end());
        std::sort(echoCpuPerRequest.begin(), echoCpuPerRequest.end());

        const double echo50 = percentile(echoTimes, 0.5);
        const double create50 = percentile(createTimes, 0.5);
        state.counters["echo_p50_us"] = echo50;
        state.counters["echo_p99_us"] = percentile(echoTimes, 0.99);
        state.counters["create_p50_us"] = create50;
        state.counters["create_p99_us"] = percentile(createTimes, 0.99);
        state.counters["p50_ratio"] = echo50 > 0 ? create50 / echo50 : 0;
        state.counters["cpu_per_create_min_us"] = percentile(cpuPerCreate, 0);
        state.counters["cpu_per_create_med_us"] = percentile(cpuPerCreate, 0.5);
        state.counters["echo_cpu_min_us"] = percentile(echoCpuPerRequest, 0);
        state.counters["echo_cpu_med_us"] = percentile(echoCpuPerRequest, 0.5);
        state.counters["round_trips"] = static_cast<double>(createTimes.size());
        reportRatio(state, "own_cpu_us", ownCpu);
        reportRatio(state, "p50_ratio_block", blockRatios);
    }
    state.counters["load"] = (loadStart + loadAverage()) / 2;
    root.setPriority(levelBefore);
}
// The label computation of the same creates alone, at WARN: the channel's
// own work without the file's round trips.
void BM_CreateLabelOnly(benchmark::State& state)
{
    Logger::getInstance();
    log4cpp::Category& root = log4cpp::Category::getRoot();
    const log4cpp::Priority::Value levelBefore = root.getPriority();
    root.setPriority(log4cpp::Priority::WARN);
    static VetuRestoreInit store;
    static const bool filled = (fillStore(store), true);
    (void)filled;
    int i = 0;
    for (auto _ : state) {
        const std::string dir = "/usr/lib/pkg" + std::to_string((i * 7 + 3) % kPackages);
        const std::string path = dir + (i % 2 ? "/new" + std::to_string(i) : "/file" + std::to_string(i % 100));
        std::string label;
        VetuRestoreContext::getNewCreateFileLabel(path, store, label);
        benchmark::DoNotOptimize(label);
        ++i;
    }
    root.setPriority(levelBefore);
}
BENCHMARK(BM_CreateLabelOnly);

BENCHMARK(BM_NotifyCreateRoundTrip)
    ->Arg(log4cpp::Priority::WARN)
    ->Arg(log4cpp::Priority::INFO)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
