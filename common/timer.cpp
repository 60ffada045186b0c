#include "common/timer.h"

#include "common/logger.h"

Timer::~Timer()
{
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - m_start).count();
    LOG_INFO_CATEGORY("%s execution time: %.6f s", m_name.c_str(), static_cast<double>(elapsed) / 1e9);
}
