// Benchmarks run in the tests' sandbox, so they may build trees on tmpfs and
// use the program's real paths without touching the machine.
#include <benchmark/benchmark.h>

#include <cstring>

#include "relabel_child.h"
#include "support/sandbox.h"

int main(int argc, char** argv)
{
    // A child shares its parent's sandbox (and the tree built in it).
    if (argc == 3 && std::strcmp(argv[1], kRelabelChildOption) == 0) {
        return relabelChildMain(argv[2]);
    }
    sandbox::enter();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
