// Latency of translateBindMountPath with 10, 100 and 1000 bind-mount keys.
#include <benchmark/benchmark.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/mount_table.h"

namespace {

void BM_TranslateBindMountPath(benchmark::State& state)
{
    const int keys = static_cast<int>(state.range(0));
    {
        std::unique_lock<std::shared_mutex> lock(bindMountMutex);
        bindMountMap.clear();
        for (int i = 0; i < keys; ++i) {
            bindMountMap["/sysroot/ostree/deploy/data" + std::to_string(i)] = "/mnt/view" + std::to_string(i);
        }
    }
    // Half the paths lie under a key, half under none.
    std::vector<std::string> paths;
    for (int i = 0; i < 64; ++i) {
        const std::string tail = "/usr/lib/x86_64-linux-gnu/libexample.so." + std::to_string(i);
        paths.push_back(i % 2 == 0 ? "/sysroot/ostree/deploy/data" + std::to_string(i * 7919 % keys) + tail
                                   : "/home/user" + std::to_string(i) + tail);
    }
    size_t n = 0;
    for (auto _ : state) {
        std::string out = translateBindMountPath(paths[n++ % paths.size()]);
        benchmark::DoNotOptimize(out.data());
    }
    std::unique_lock<std::shared_mutex> lock(bindMountMutex);
    bindMountMap.clear();
}
BENCHMARK(BM_TranslateBindMountPath)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace
