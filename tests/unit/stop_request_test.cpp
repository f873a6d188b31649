// The stop request ends the monitor's pause the moment it is raised, from
// another thread, as the service's control handler raises it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "stop_request.h"

namespace {

void RaiseSoon(void* stop)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    static_cast<cvn::CStopRequest*>(stop)->Raise();
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(StopRequest, ARaisedStopEndsAPauseAtOnceAndEveryPauseAfterIt)
{
    // Outlives the raising thread, whatever it still does after the raise.
    static cvn::CStopRequest stop;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(cvn::StartDetachedThread(RaiseSoon, &stop));
    EXPECT_FALSE(stop.Sleep(20000));
    EXPECT_GE(SecondsSince(start), 0.15);
    EXPECT_LE(SecondsSince(start), 5.0);
    EXPECT_TRUE(stop.Raised());
    const auto again = std::chrono::steady_clock::now();
    EXPECT_FALSE(stop.Sleep(20000));
    EXPECT_LE(SecondsSince(again), 1.0);

    cvn::CStopRequest quiet;
    EXPECT_TRUE(quiet.Sleep(50));
}

// A reset event waits again, beside another one too: a resolver that waits
// for work would otherwise spin.
TEST(StopRequest, AResetEventIsWaitedForAgain)
{
    cvn::CEvent event, other;
    event.Set();
    EXPECT_EQ(0, cvn::CEvent::WaitEither(event, other, 20000));
    event.Reset();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.Wait(100));
    EXPECT_EQ(-1, cvn::CEvent::WaitEither(event, other, 100));
    EXPECT_GE(SecondsSince(start), 0.19);
}
