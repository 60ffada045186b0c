// Round trip of a create request through the notify file's FUSE stand-in:
// the real channel computing a label from a store of 10k indexed paths and
// 100 patterns, against an echo that reads a request and writes a fixed
// reply. All run in the same process on the same stand-in; the counters give
// p50 and p99 of each and the channel's own share of its round trip. The
// echo blocks in read; the channel polls first to see a stop, which on FUSE
// is one more round trip to the server, counted as the channel's own.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "restore/notify_channel.h"
#include "restore/notify_message.h"
#include "store/vetu_restore_init.h"
#include "support/notify_stand_in.h"

namespace {

constexpr int kIndexedPaths = 10000;
constexpr int kPatternsPerMap = 25;  // four pattern maps: 100 patterns
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
}

// Microseconds of each round trip; the first, which waits for the reader to
// start, is left out.
std::vector<double> roundTrips(NotifyStandIn& standIn)
{
    std::vector<double> times;
    for (int i = -1; i < kRoundTrips; ++i) {
        // A directory above indexed paths, and a new file among them.
        const std::string path = "/data/app" + std::to_string(i % 100) + (i % 2 ? "/new" + std::to_string(i) : "");
        const auto start = std::chrono::steady_clock::now();
        std::string reply;
        if (!standIn.queue(static_cast<uint32_t>(i), kNotifyFlagCreate, getpid(), path) || !standIn.nextWrite(reply)) {
            break;
        }
        if (i >= 0) {
            times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
    }
    return times;
}

double percentile(const std::vector<double>& sorted, double p)
{
    return sorted.empty() ? 0 : sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
}

// The echo reads and writes an empty label at once.
std::vector<double> echoRoundTrips(NotifyStandIn& standIn)
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
    std::vector<double> times = roundTrips(standIn);
    standIn.queue(0, kEchoStop, 0, "");
    echo.join();
    return times;
}

// The channel as the daemon runs it: stopped by the flag and the eventfd.
std::vector<double> channelRoundTrips(NotifyStandIn& standIn, VetuRestoreInit& store)
{
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
    std::thread channel([&]() {
        monitorFileCreateAndRename(stop, store);
        ended = true;
    });
    std::vector<double> times = roundTrips(standIn);
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
    VetuRestoreInit store;
    fillStore(store);

    NotifyStandIn standIn;
    for (auto _ : state) {
        std::vector<double> echoTimes;
        std::vector<double> createTimes;
        const auto append = [](std::vector<double>& all, const std::vector<double>& block) {
            all.insert(all.end(), block.begin(), block.end());
        };
        for (int block = 0; block < kBlocks; ++block) {
            append(echoTimes, echoRoundTrips(standIn));
            append(createTimes, channelRoundTrips(standIn, store));
        }
        std::sort(echoTimes.begin(), echoTimes.end());
        std::sort(createTimes.begin(), createTimes.end());

        const double echo50 = percentile(echoTimes, 0.5);
        const double echo99 = percentile(echoTimes, 0.99);
        const double create50 = percentile(createTimes, 0.5);
        const double create99 = percentile(createTimes, 0.99);
        state.counters["echo_p50_us"] = echo50;
        state.counters["echo_p99_us"] = echo99;
        state.counters["create_p50_us"] = create50;
        state.counters["create_p99_us"] = create99;
        state.counters["own_share_p50"] = create50 > 0 ? (create50 - echo50) / create50 : 0;
        state.counters["own_share_p99"] = create99 > 0 ? (create99 - echo99) / create99 : 0;
        state.counters["round_trips"] = static_cast<double>(createTimes.size());
    }
}
BENCHMARK(BM_NotifyCreateRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
