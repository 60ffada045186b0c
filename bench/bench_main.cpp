// Benchmarks run in the tests' sandbox, so they may build trees on tmpfs and
// use the program's real paths without touching the machine.
#include <benchmark/benchmark.h>

#include "support/sandbox.h"

int main(int argc, char** argv)
{
    sandbox::enter();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
