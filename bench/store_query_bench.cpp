// Throughput of the hot store queries and the memory of the package data.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <memory>
#include <string>

#include "store/vetu_restore_init.h"

namespace {

constexpr int kPackagedFiles = 10000;

// One store per pattern count, set up by thread 0 before the timed loop.
std::unique_ptr<VetuRestoreInit> g_store;
int64_t g_patterns = -1;

void prepareStore(int64_t patterns)
{
    if (g_store && g_patterns == patterns) {
        return;
    }
    g_store = std::make_unique<VetuRestoreInit>();
    g_patterns = patterns;
    for (int64_t i = 0; i < patterns; ++i) {
        const std::string pattern = "/usr/lib/app" + std::to_string(i) + "/*.conf";
        g_store->identityDataUserConfigOidGlob.set(pattern, vetu_id_t{static_cast<uint64_t>(i), 0, 0});
        g_store->identityDataUserConfigTidGlob.set(pattern, static_cast<uint32_t>(i));
    }
    for (int i = 0; i < kPackagedFiles; ++i) {
        g_store->insertFileOfPkgToMap("/usr/lib/pkg" + std::to_string(i % 100) + "/file" + std::to_string(i),
                                      "pkg" + std::to_string(i % 100), 1);
    }
    g_store->m_mapInterpreterTid.store({{"/usr/bin/python3", 0x20}});
}

// A packaged file that no user-set entry names: the whole lookup order runs.
void BM_GetFileOid(benchmark::State& state)
{
    if (state.thread_index() == 0) {
        prepareStore(state.range(0));
    }
    const std::string path = "/usr/lib/pkg7/file" + std::to_string(7 + 100 * state.thread_index());
    for (auto _ : state) {
        vetu_id_t oid{};
        benchmark::DoNotOptimize(g_store->getFileOid(path, oid));
        benchmark::DoNotOptimize(oid);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetFileOid)->Arg(0)->Arg(100)->Arg(1000)->Threads(1)->Threads(8)->UseRealTime();

void BM_GetTid(benchmark::State& state)
{
    if (state.thread_index() == 0) {
        prepareStore(state.range(0));
    }
    for (auto _ : state) {
        uint32_t tid = 0;
        benchmark::DoNotOptimize(g_store->getTid("/usr/bin/python3", tid));
        benchmark::DoNotOptimize(tid);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetTid)->Arg(0)->Arg(100)->Arg(1000)->Threads(1)->Threads(8)->UseRealTime();

// Heap bytes per entry of the file-to-package map at the size of a full
// distribution (paths ~50 bytes, package names 4 to 24 bytes).
void BM_RegisteredFileMemory(benchmark::State& state)
{
    const int files = static_cast<int>(state.range(0));
    double perEntry = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<VetuRestoreInit>();
        malloc_trim(0);
        const size_t before = mallinfo2().uordblks;
        state.ResumeTiming();
        for (int i = 0; i < files; ++i) {
            const int pkg = i / 300;  // ~1000 packages of 300 files
            const std::string pkgName = std::string("package-name-", 4 + pkg % 14) + std::to_string(pkg);
            const std::string path = "/usr/share/" + pkgName + "/resources/data/file-" + std::to_string(i) + ".dat";
            store->insertFileOfPkgToMap(path, pkgName, 1);
        }
        state.PauseTiming();
        perEntry = static_cast<double>(mallinfo2().uordblks - before) / files;
        store.reset();
        state.ResumeTiming();
    }
    state.counters["bytes_per_entry"] = perEntry;
}
BENCHMARK(BM_RegisteredFileMemory)->Arg(300000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
