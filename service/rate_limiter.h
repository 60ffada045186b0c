// Sliding one-second windows of admitted calls per caller key. The clock is
// injectable so that windows and the minute-long prune can be tested without
// sleeping.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

// Rate classes of the service methods.
constexpr uint32_t kRateClassQuery = 0;   // 100 calls per second
constexpr uint32_t kRateClassChange = 1;  // 50 calls per second
constexpr uint32_t kRateClassHeavy = 2;   // 10 calls per second

// The admitted calls per key and second of a class; false for an unknown class.
bool rateClassMaximum(uint32_t rateClass, uint32_t& maximum);

class RateLimiter {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;

    // Idle keys are dropped once this long has passed since the previous prune.
    static constexpr std::chrono::seconds kPruneInterval{60};

    explicit RateLimiter(Clock clock = &std::chrono::steady_clock::now);

    // At most once per prune interval: drops times older than the interval
    // and the keys left without any.
    void pruneRateLimitHistory();
    // Admits and records the call when the key has fewer than maximum calls
    // within the window ending now; a refused call is not recorded.
    bool checkSlidingWindow(const std::string& key, uint32_t maximum, std::chrono::seconds window);
    // Keys that still have history.
    size_t keyCount() const;

private:
    Clock m_clock;
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, std::deque<TimePoint>> m_history;
    TimePoint m_lastPrune;
};
