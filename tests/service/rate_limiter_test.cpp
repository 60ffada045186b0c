#include "service/rate_limiter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using TimePoint = RateLimiter::TimePoint;

TEST(RateLimiter, WindowAdmitsTheMaximumAndRefusedCallsDoNotCount)
{
    const TimePoint t0 = TimePoint(1h);
    TimePoint now = t0;
    RateLimiter limiter([&now] { return now; });
    for (int i = 0; i < 100; ++i) {
        now = t0 + i * 5ms;
        ASSERT_TRUE(limiter.checkSlidingWindow("k", 100, 1s)) << i;
    }
    now = t0 + 990ms;
    EXPECT_FALSE(limiter.checkSlidingWindow("k", 100, 1s));
    EXPECT_TRUE(limiter.checkSlidingWindow("other", 100, 1s));
    now = t0 + 1s;  // the oldest call is exactly one second old: still inside
    EXPECT_FALSE(limiter.checkSlidingWindow("k", 100, 1s));
    now = t0 + 1001ms;  // it has left; had the refusals counted, nothing would be free
    EXPECT_TRUE(limiter.checkSlidingWindow("k", 100, 1s));
    EXPECT_FALSE(limiter.checkSlidingWindow("k", 100, 1s));
}

TEST(RateLimiter, PruneDropsIdleKeysOncePerMinute)
{
    const TimePoint t0 = TimePoint(1h);
    TimePoint now = t0;
    RateLimiter limiter([&now] { return now; });
    ASSERT_TRUE(limiter.checkSlidingWindow("idle", 10, 1s));
    now = t0 + 30s;
    ASSERT_TRUE(limiter.checkSlidingWindow("busy", 10, 1s));
    now = t0 + 59s;
    limiter.pruneRateLimitHistory();
    EXPECT_EQ(2u, limiter.keyCount());
    now = t0 + 61s;
    limiter.pruneRateLimitHistory();
    EXPECT_EQ(1u, limiter.keyCount());
    now = t0 + 100s;  // "busy" is idle for over a minute, but the last prune was 39 s ago
    limiter.pruneRateLimitHistory();
    EXPECT_EQ(1u, limiter.keyCount());
    now = t0 + 121s;
    limiter.pruneRateLimitHistory();
    EXPECT_EQ(0u, limiter.keyCount());
}

}  // namespace
