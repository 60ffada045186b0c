// Counters for a benchmark that times a path and its floor side by side in
// one run: the median of the per-round ratios with their spread, and the
// machine's load beside them.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline double loadAverage()
{
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

// name: the median ratio; name_min and name_max: its spread over the rounds.
inline void reportRatio(benchmark::State& state, const std::string& name, const std::vector<double>& ratios)
{
    state.counters[name] = median(ratios);
    state.counters[name + "_min"] = ratios.empty() ? 0 : *std::min_element(ratios.begin(), ratios.end());
    state.counters[name + "_max"] = ratios.empty() ? 0 : *std::max_element(ratios.begin(), ratios.end());
}
