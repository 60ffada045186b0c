// setLabelForPkg of a 5000-file package on tmpfs through the bus, against
// a no-op call carrying the same array, the bare lsetxattr of the same 5000
// paths from a pool of the same size, and the package data store that every
// call makes.
#include <benchmark/benchmark.h>
#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/thread_pool.h"
#include "store/vetu_restore_init.h"
#include "bench/bus_service_setup.h"
#include "bench/interleaved_floor.h"
#include "support/bus_client.h"
#include "support/expected_label.h"

namespace {

constexpr size_t kFiles = 5000;
constexpr size_t kFilesPerTask = 64;  // as the service queues them
constexpr size_t kClients = 8;        // calls spread below the per-caller rate limit

struct Package : BusServiceSetup {
    Package()
    {
        for (size_t i = 0; i < kFiles; ++i) {
            files.push_back(tree.file("pkg/d" + std::to_string(i % 50) + "/f" + std::to_string(i)));
        }
        startService(kClients);
    }
};

Package* package()
{
    static std::unique_ptr<Package> made = std::make_unique<Package>();
    return made->ok() ? made.get() : nullptr;
}

// The floor of one call: the same array carried to the service by a call
// that does nothing with it, the bare writes of the labels from a pool of
// the service's size, and the package data store the call makes.
void BM_SetLabelForPkg5000AgainstFloor(benchmark::State& state)
{
    Package* pkg = package();
    if (pkg == nullptr) {
        state.SkipWithError("no service");
        return;
    }
    const std::vector<std::string>& files = pkg->files;
    const std::string label = labelText({sm3Last64("benchpkg"), 0, 0}, 0, {sm3Last64("benchpkg"), 0, 0}, 5);
    ThPool pool(ThPool::defaultSize());
    auto writeRange = [&files, &label](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            lsetxattr(files[i].c_str(), "security.vetu", label.data(), label.size(), 0);
        }
    };
    VetuRestoreInit store;
    store.insertPkgidToMap("benchpkg", 1);
    for (const auto& file : files) {
        store.insertFileOfPkgToMap(file, "benchpkg", 1);
        store.updateParentDirsCache(file);
    }
    size_t next = 0;
    auto row = [&]() -> std::string {
        BusClient& client = *pkg->clients[next++ % kClients];
        const std::string reply =
            client.call("setLabelForPkg", {argStrings(files), argString("benchpkg"), argU32(1)}, 60000);
        return reply == "0" ? "" : "setLabelForPkg: " + reply;
    };
    auto floor = [&]() -> std::string {
        BusClient& client = *pkg->clients[next % kClients];
        const std::string reply = client.call("Ping", {argStrings(files)}, 60000, "org.freedesktop.DBus.Peer");
        if (!reply.empty()) {
            return "Ping: " + reply;
        }
        std::vector<std::future<void>> tasks;
        for (size_t begin = 0; begin < files.size(); begin += kFilesPerTask) {
            tasks.push_back(pool.add(writeRange, begin, std::min(files.size(), begin + kFilesPerTask)));
        }
        for (auto& task : tasks) {
            task.get();
        }
        return store.storePkgAndFileData() == 0 ? "" : "store failed";
    };
    measureAgainstFloor(state, row, floor);
    state.SetItemsProcessed(state.iterations() * kFiles);
}

BENCHMARK(BM_SetLabelForPkg5000AgainstFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2)->Repetitions(5);

}  // namespace
