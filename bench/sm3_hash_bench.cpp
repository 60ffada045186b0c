// SM3 of a path: every file and path identifier is one.
#include <benchmark/benchmark.h>

#include <string>

#include "common/sm3_hash.h"

namespace {

const std::string kPath = "/usr/lib/x86_64-linux-gnu/some-package/plugins/a-fairly-long-file-name-of-100-bytes.so.1";

void BM_Sm3Path100(benchmark::State& state)
{
    std::string path = kPath;
    path.resize(100, 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(getSM3HashLast64Bits(path));
    }
}
BENCHMARK(BM_Sm3Path100)->Threads(1)->Threads(8)->UseRealTime();

void BM_Sm3HexPath100(benchmark::State& state)
{
    std::string path = kPath;
    path.resize(100, 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(getSM3HashValue(path));
    }
}
BENCHMARK(BM_Sm3HexPath100)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace
