// A row timed against its floor call by call, the two alternating in one
// loop (and taking turns at going first), so that both meet the same load.
// Reports the mean time of each in microseconds, their ratio and the
// one-minute load average at the end; run with repetitions for the spread.
#pragma once

#include <benchmark/benchmark.h>

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
    bool rowFirst = false;
    auto timed = [](auto& call, Clock::duration& total) {
        const auto start = Clock::now();
        std::string failure = call();
        total += Clock::now() - start;
        return failure;
    };
    for (auto _ : state) {
        rowFirst = !rowFirst;
        std::string failure = rowFirst ? timed(row, rowTime) : timed(floor, floorTime);
        if (failure.empty()) {
            failure = rowFirst ? timed(floor, floorTime) : timed(row, rowTime);
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
    state.counters["load1"] = load[0];
}
