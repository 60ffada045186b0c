// Wall time of a step, for the "cost time" lines.
#pragma once

#include <chrono>

using StepClock = std::chrono::steady_clock;

inline double secondsSince(StepClock::time_point start)
{
    return std::chrono::duration<double>(StepClock::now() - start).count();
}
