// A row timed against its floor call by call, the two alternating in one
// loop (and taking turns at going first), so that both meet the same load.
// Reports the mean time of each in microseconds, their ratio, the CPU time
// this process spent on each (all its threads: the client's and the
// service's side), which load moves far less than the time, and the
// one-minute load average at the end; run with repetitions for the spread.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <string>

// row and floor each make one call and return "" or what went wrong.
template <typename Row, typename Floor>
void measureAgainstFloor(benchmark::State& state, Row&& row, Floor&& floor)
{
    using Clock = std::chrono::steady_clock;
    Clock::duration rowTime{};
    Clock::duration floorTime{};
    double rowCpuUs = 0;
    double floorCpuUs = 0;
    bool rowFirst = false;
    auto cpuUs = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    };
    auto timed = [&cpuUs](auto& call, Clock::duration& total, double& cpu) {
        const double cpuStart = cpuUs();
        const auto start = Clock::now();
        std::string failure = call();
        total += Clock::now() - start;
        cpu += cpuUs() - cpuStart;
        return failure;
    };
    for (auto _ : state) {
        rowFirst = !rowFirst;
        std::string failure = rowFirst ? timed(row, rowTime, rowCpuUs) : timed(floor, floorTime, floorCpuUs);
        if (failure.empty()) {
            failure = rowFirst ? timed(floor, floorTime, floorCpuUs) : timed(row, rowTime, rowCpuUs);
        }
        if (!failure.empty()) {
            state.SkipWithError(failure.c_str());
            return;
        }
    }
    const double iterations = static_cast<double>(state.iterations());
    const double rowUs = std::chrono::duration<double, std::micro>(rowTime).count() / iterations;
    const double floorUs = std::chrono::duration<double, std::micro>(floorTime).count() / iterations;
    double load[1] = {0};
    getloadavg(load, 1);
    state.counters["row_us"] = rowUs;
    state.counters["floor_us"] = floorUs;
    state.counters["ratio"] = rowUs / floorUs;
    state.counters["row_cpu_us"] = rowCpuUs / iterations;
    state.counters["floor_cpu_us"] = floorCpuUs / iterations;
    state.counters["load1"] = load[0];
}
