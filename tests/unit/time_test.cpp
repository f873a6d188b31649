// The millisecond clock and the deadline timer: the timer's arithmetic with
// synthetic tick counts around the 32-bit wrap, and the exported functions
// on the real clock.
#include <gtest/gtest.h>

#include <cstdint>

#include "qmx/time.h"
#include "tick.h"

using qmx::CTickTimer;

namespace {

const std::uint32_t kStarts[] = {0u,          1u,          1000u,       0x7FFFFFFFu, 0x80000000u,
                                 0xFFFF0000u, 0xFFFFFF00u, 0xFFFFFFFEu, 0xFFFFFFFFu};
const unsigned long kIntervals[] = {0ul, 1ul, 1000ul, 120000ul, 30000ul, 86400000ul, 0x7FFFFFFFul};

// The tick count may move in steps of 16 ms (Windows, Wine).
void WaitForNextTick()
{
    const unsigned long now = qmx::GetMillSecCount();
    while (qmx::GetMillSecCount() == now)
        qmx::SleepMillSec(1);
}

}  // namespace

TEST(SystemTimerTicks, ExpiresOnceTheIntervalHasPassedFromAnyStartAcrossTheWrap)
{
    for (std::uint32_t start : kStarts) {
        for (unsigned long interval : kIntervals) {
            CTickTimer timer;
            timer.Set(start, interval);
            const std::uint32_t deadline = start + static_cast<std::uint32_t>(interval);
            SCOPED_TRACE(testing::Message() << "start " << start << " interval " << interval);
            EXPECT_FALSE(timer.HasExpired(start));
            EXPECT_FALSE(timer.HasExpired(deadline));
            EXPECT_TRUE(timer.HasExpired(deadline + 1));
            if (interval > 2) {
                EXPECT_FALSE(timer.HasExpired(start + static_cast<std::uint32_t>(interval / 2)));
            }
        }
    }
}

TEST(SystemTimerTicks, DeadlinePastTheWrapIsNotExpiredBeforeIt)
{
    CTickTimer timer;
    timer.Set(0xFFFFFF00u, 0x200);  // the sum wraps to 0x100
    EXPECT_FALSE(timer.HasExpired(0xFFFFFF01u));
    EXPECT_FALSE(timer.HasExpired(0xFFFFFFFFu));
    EXPECT_FALSE(timer.HasExpired(0));
    EXPECT_FALSE(timer.HasExpired(0x100));
    EXPECT_TRUE(timer.HasExpired(0x101));
}

TEST(SystemTimerTicks, DeadlineBeforeTheWrapStaysExpiredAfterIt)
{
    CTickTimer timer;
    timer.Set(0xFFFFFF00u, 0x80);
    EXPECT_TRUE(timer.HasExpired(0xFFFFFF81u));
    EXPECT_TRUE(timer.HasExpired(0));
    EXPECT_TRUE(timer.HasExpired(5));
    // Reading does not re-arm it.
    EXPECT_TRUE(timer.HasExpired(5));
}

TEST(SystemTimerTicks, OnlyTheLastDeadlineCounts)
{
    CTickTimer timer;
    timer.Set(1000, 10);
    timer.Set(1000, 5000);
    EXPECT_FALSE(timer.HasExpired(1011));
    EXPECT_TRUE(timer.HasExpired(6001));
    timer.Set(7000, 0);
    EXPECT_TRUE(timer.HasExpired(7001));
}

TEST(SystemTimerTicks, TimerNeverSetIsExpiredAtEveryTickButZero)
{
    CTickTimer timer;
    EXPECT_FALSE(timer.HasExpired(0));
    for (std::uint32_t now : {1u, 1000u, 0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFFu})
        EXPECT_TRUE(timer.HasExpired(now)) << now;
}

TEST(SystemTimer, ClockAdvancesAcrossASleep)
{
    const unsigned long before = qmx::GetMillSecCount();
    qmx::SleepMillSec(50);
    const unsigned long elapsed = (qmx::GetMillSecCount() - before) & 0xFFFFFFFFul;
    // Allows for a granularity of 16 ms.
    EXPECT_GE(elapsed, 30ul);
}

TEST(SystemTimer, ZeroIntervalExpiresOnlyAfterTheCurrentMillisecond)
{
    // Repeated until set and read fall into one millisecond.
    bool sameMillisecond = false;
    for (int attempt = 0; attempt < 1000 && !sameMillisecond; ++attempt) {
        const unsigned long before = qmx::GetMillSecCount();
        qmx::SetSystemTimer(0);
        const bool expired = qmx::HasSystemTimerExpired();
        if (qmx::GetMillSecCount() == before) {
            sameMillisecond = true;
            EXPECT_FALSE(expired);
        }
    }
    ASSERT_TRUE(sameMillisecond);
    WaitForNextTick();
    EXPECT_TRUE(qmx::HasSystemTimerExpired());
}

TEST(SystemTimer, NewDeadlineReplacesThePreviousOne)
{
    qmx::SetSystemTimer(0);
    WaitForNextTick();
    ASSERT_TRUE(qmx::HasSystemTimerExpired());
    qmx::SetSystemTimer(3600000);
    EXPECT_FALSE(qmx::HasSystemTimerExpired());
    qmx::SetSystemTimer(0);
    WaitForNextTick();
    EXPECT_TRUE(qmx::HasSystemTimerExpired());
}
