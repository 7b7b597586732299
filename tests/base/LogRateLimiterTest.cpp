// A line repeated in a tight loop passes `burst` times per period; the next one let through
// carries the count of those held back.
#include <gtest/gtest.h>

#include "base/LogRateLimiter.h"

namespace {

TEST(LogRateLimiter, PassesBurstPerPeriodAndCountsTheRest) {
    LogRateLimiter limit(1000, 2);
    uint64_t dropped = 99;
    EXPECT_TRUE(limit.AllowAt(5000, &dropped));
    EXPECT_EQ(dropped, 0u);
    EXPECT_TRUE(limit.AllowAt(5001));
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(limit.AllowAt(5002 + i % 997, &dropped));
    EXPECT_EQ(dropped, 0u);
    // A full period after the window opened: the next line passes and reports the 1000 held back.
    EXPECT_TRUE(limit.AllowAt(6000, &dropped));
    EXPECT_EQ(dropped, 1000u);
    EXPECT_TRUE(limit.AllowAt(6500, &dropped));
    EXPECT_EQ(dropped, 0u);
    EXPECT_FALSE(limit.AllowAt(6999));
    EXPECT_EQ(LogRateLimiter::SuppressedNote(0), "");
    EXPECT_EQ(LogRateLimiter::SuppressedNote(3), " (3 similar lines suppressed)");
}

}  // namespace
