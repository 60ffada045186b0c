#include "service/rate_limiter.h"

namespace {

constexpr uint32_t kRateClassMaxima[] = {100, 50, 10};

}  // namespace

bool rateClassMaximum(uint32_t rateClass, uint32_t& maximum)
{
    if (rateClass >= sizeof(kRateClassMaxima) / sizeof(kRateClassMaxima[0])) {
        return false;
    }
    maximum = kRateClassMaxima[rateClass];
    return true;
}

RateLimiter::RateLimiter(Clock clock) : m_clock(std::move(clock)), m_lastPrune(m_clock())
{
    m_history.max_load_factor(1.0f);
}

void RateLimiter::pruneRateLimitHistory()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const TimePoint now = m_clock();
    if (now - m_lastPrune < kPruneInterval) {
        return;
    }
    m_lastPrune = now;
    const TimePoint oldest = now - kPruneInterval;
    for (auto it = m_history.begin(); it != m_history.end();) {
        auto& times = it->second;
        while (!times.empty() && times.front() < oldest) {
            times.pop_front();
        }
        it = times.empty() ? m_history.erase(it) : std::next(it);
    }
}

bool RateLimiter::checkSlidingWindow(const std::string& key, uint32_t maximum, std::chrono::seconds window)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const TimePoint now = m_clock();
    auto& times = m_history[key];
    const TimePoint oldest = now - window;
    while (!times.empty() && times.front() < oldest) {
        times.pop_front();
    }
    if (times.size() >= maximum) {
        return false;
    }
    times.push_back(now);
    return true;
}

size_t RateLimiter::keyCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_history.size();
}
