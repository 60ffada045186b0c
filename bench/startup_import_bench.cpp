// The package import of the start-up build against a stub rpm of 3000
// packages and 300k files. rpm's own share is measured by running the same
// rpm calls on a pool of the same size; the difference is our overhead.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/command.h"
#include "common/paths.h"
#include "common/thread_pool.h"
#include "store/vetu_restore_init.h"
#include "support/stub_program.h"

namespace {

constexpr int kPackages = 3000;
constexpr int kFilesPerPackage = 100;

std::string packageName(int i)
{
    return "bench-pkg-" + std::to_string(i);
}

// 3000 packages of 100 files in 10 directories each.
void writeBenchListing(const StubRpm& stub)
{
    std::string qa;
    for (int p = 0; p < kPackages; ++p) {
        const std::string name = packageName(p);
        qa += name + "-1.0-1.x86_64\n";
        std::string list;
        for (int f = 0; f < kFilesPerPackage; ++f) {
            list += "/usr/share/" + name + "/dir" + std::to_string(f % 10) + "/file" + std::to_string(f) + "\n";
        }
        stub.writeData("ql/" + name, list);
    }
    stub.writeData("qa", qa);
}

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The rpm calls of an import, with nothing done with their output.
double rpmOnlySeconds()
{
    const auto start = std::chrono::steady_clock::now();
    ThPool pool(ThPool::defaultSize());
    const auto lines = executeCommand(paths::kRpm, {"-qa"});
    std::vector<std::future<size_t>> lists;
    for (int p = 0; p < kPackages; ++p) {
        lists.push_back(pool.add([p] { return executeCommand(paths::kRpm, {"-ql", packageName(p)}).size(); }));
    }
    size_t total = lines.size();
    for (auto& list : lists) {
        total += list.get();
    }
    benchmark::DoNotOptimize(total);
    return seconds(std::chrono::steady_clock::now() - start);
}

void BM_StartupImport(benchmark::State& state)
{
    StubRpm stub(listingStubBody());
    writeBenchListing(stub);
    std::filesystem::create_directories(paths::kDataDir);
    struct rusage before {};
    getrusage(RUSAGE_SELF, &before);
    double rpmTotal = 0;
    double importTotal = 0;
    for (auto _ : state) {
        std::filesystem::remove(paths::kPkgFileData);
        const double rpm = rpmOnlySeconds();
        auto store = std::make_unique<VetuRestoreInit>();
        const auto start = std::chrono::steady_clock::now();
        store->initMap();
        const double import = seconds(std::chrono::steady_clock::now() - start);
        if (store->packagedPathCount() != static_cast<size_t>(kPackages * kFilesPerPackage)) {
            state.SkipWithError("import incomplete");
            break;
        }
        state.SetIterationTime(import);
        rpmTotal += rpm;
        importTotal += import;
    }
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const double n = static_cast<double>(state.iterations());
    state.counters["rpm_s"] = rpmTotal / n;
    state.counters["overhead_s"] = (importTotal - rpmTotal) / n;
    // The process peak; what it was before the first import is the baseline.
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["rss_before_MiB"] = static_cast<double>(before.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_StartupImport)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
