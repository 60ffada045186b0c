// Store and load of the signed package and identity data files, with the
// file size and the peak memory each operation adds.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/paths.h"
#include "store/vetu_restore_init.h"

namespace {

// Resident set size and its peak, in KiB, from /proc/self/status.
long statusKiB(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t len = strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, len, field) == 0) {
            return std::stol(line.substr(len + 1));
        }
    }
    return 0;
}

// Restarts the peak at the current size (kernel feature of clear_refs).
void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

void fillPackages(VetuRestoreInit& store, int files)
{
    const int perPkg = 200;
    for (int p = 0; p * perPkg < files; ++p) {
        const std::string pkg = "package-" + std::to_string(p) + "-libs";
        store.insertPkgidToMap(pkg, 1);
        for (int f = p * perPkg; f < (p + 1) * perPkg && f < files; ++f) {
            const std::string path = "/usr/lib64/" + pkg + "/share/data/file_" + std::to_string(f) + ".so";
            store.insertFileOfPkgToMap(path, pkg, 1);
            if (f % perPkg == 0) {
                store.updateParentDirsCache(path);
            }
        }
    }
}

void fillIdentities(VetuRestoreInit& store, int entries)
{
    for (int i = 0; i < entries; ++i) {
        const std::string path = "/opt/app" + std::to_string(i % 97) + "/bin/tool_" + std::to_string(i);
        const vetu_id_t id{static_cast<uint64_t>(i) * 0x9e3779b97f4a7c15ull, ~static_cast<uint64_t>(i), 42};
        switch (i % 4) {
        case 0:
            store.identityDataFileSid.set(path, id);
            break;
        case 1:
            store.identityDataFileOid.set(path, id);
            break;
        case 2:
            store.identityDataUserConfigSid.set(path, id);
            break;
        default:
            store.identityDataDirSpathid.set(path, id.pkg_id);
            break;
        }
    }
}

void report(benchmark::State& state, long peakKiB, const char* file)
{
    struct stat st;
    state.counters["file_MiB"] = stat(file, &st) == 0 ? static_cast<double>(st.st_size) / (1 << 20) : 0;
    state.counters["peak_add_MiB"] = static_cast<double>(peakKiB) / 1024;
}

// Each operation's peak is measured on its own: the peak restarts before it.
template <class Op>
long measured(Op op)
{
    // Freed memory handed back first, so the growth is this operation's.
    malloc_trim(0);
    resetPeak();
    const long before = statusKiB("VmRSS:");
    op();
    return statusKiB("VmHWM:") - before;
}

void BM_PkgStore(benchmark::State& state)
{
    std::filesystem::create_directories(paths::kDataDir);
    VetuRestoreInit store;
    fillPackages(store, static_cast<int>(state.range(0)));
    long peak = 0;
    for (auto _ : state) {
        peak = std::max(peak, measured([&] {
            if (store.storePkgAndFileData() != 0) {
                state.SkipWithError("store failed");
            }
        }));
    }
    report(state, peak, paths::kPkgFileData);
}

void BM_PkgLoad(benchmark::State& state)
{
    std::filesystem::create_directories(paths::kDataDir);
    {
        VetuRestoreInit source;
        fillPackages(source, static_cast<int>(state.range(0)));
        source.storePkgAndFileData();
    }
    long peak = 0;
    for (auto _ : state) {
        // Building and tearing down the store is not part of the load.
        state.PauseTiming();
        auto store = std::make_unique<VetuRestoreInit>();
        state.ResumeTiming();
        peak = std::max(peak, measured([&] {
            if (store->loadPkgAndFileData() != 0) {
                state.SkipWithError("load failed");
            }
        }));
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    report(state, peak, paths::kPkgFileData);
}

void BM_IdentityStore(benchmark::State& state)
{
    std::filesystem::create_directories(paths::kDataDir);
    VetuRestoreInit store;
    fillIdentities(store, static_cast<int>(state.range(0)));
    long peak = 0;
    for (auto _ : state) {
        peak = std::max(peak, measured([&] {
            if (store.storeIndentityData() != 0) {
                state.SkipWithError("store failed");
            }
        }));
    }
    report(state, peak, paths::kIdentityData);
}

void BM_IdentityLoad(benchmark::State& state)
{
    std::filesystem::create_directories(paths::kDataDir);
    {
        VetuRestoreInit source;
        fillIdentities(source, static_cast<int>(state.range(0)));
        source.storeIndentityData();
    }
    VetuRestoreInit store;
    long peak = 0;
    for (auto _ : state) {
        peak = std::max(peak, measured([&] {
            if (store.loadIndentityData() != 0) {
                state.SkipWithError("load failed");
            }
        }));
    }
    report(state, peak, paths::kIdentityData);
}

}  // namespace

BENCHMARK(BM_PkgStore)->Arg(300000)->Arg(600000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PkgLoad)->Arg(300000)->Arg(600000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_IdentityStore)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_IdentityLoad)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(5);
