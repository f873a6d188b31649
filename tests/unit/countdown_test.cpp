// The shutdown countdown with synthetic tick counts: the messages, the
// deadline and the shutdown, pass by pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "countdown.h"

using cvn::CCountdown;

namespace {

struct Sent {
    std::string format;
    int seconds;
    std::uint32_t at;
};

// A clock that only moves when told to, and when a message is handed over
// (handing over takes handOverMs).
class FakeHost : public cvn::ICountdownHost {
public:
    explicit FakeHost(std::uint32_t start) : now(start) {}
    std::uint32_t Now() override { return now; }
    void Record(const cvn::CNotice& notice, int seconds) override
    {
        recorded.push_back({notice.format, seconds, now});
    }
    void NoticeUsers(const cvn::CNotice& notice, int seconds) override
    {
        now += handOverMs;
        sent.push_back({notice.format, seconds, now});
    }
    bool Shutdown() override
    {
        ++shutdowns;
        return shutdownTaken;
    }

    std::uint32_t now;
    std::uint32_t handOverMs = 0;
    std::vector<Sent> recorded;
    std::vector<Sent> sent;
    int shutdowns = 0;
    bool shutdownTaken = true;
};

class Countdown : public ::testing::Test {
protected:
    // Passes one second apart from the current tick until the shutdown or
    // until `seconds` have passed; returns the tick of the shutdown pass.
    std::uint32_t RunPasses(int seconds, bool onBattery, bool low, int onDelay = 120, int lowDelay = 30,
                            int noticeDelay = 0)
    {
        for (int i = 0; i < seconds && host.shutdowns == 0; ++i) {
            host.now += 1000;
            countdown.Step(host, onBattery, low, onDelay, lowDelay, noticeDelay);
        }
        return host.now;
    }
    void Pass(bool onBattery, bool low, int onDelay = 120, int lowDelay = 30, int noticeDelay = 0)
    {
        countdown.Step(host, onBattery, low, onDelay, lowDelay, noticeDelay);
    }
    std::vector<std::string> Formats(bool recorded = false) const
    {
        std::vector<std::string> formats;
        for (const Sent& s : recorded ? host.recorded : host.sent)
            formats.push_back(s.format);
        return formats;
    }

    FakeHost host{5000};
    CCountdown countdown;
};

TEST_F(Countdown, MainsPowerDoesNothing)
{
    RunPasses(300, false, false);
    RunPasses(300, false, true);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(CCountdown::kMains, countdown.Deadline());
}

TEST_F(Countdown, OnBatteryWarnsOnceAndShutsDownInTheFirstPassAfterTheDelay)
{
    host.handOverMs = 700;
    Pass(true, false);
    ASSERT_EQ(1u, host.sent.size());
    EXPECT_EQ(cvn::kOnBatteryMessage, host.sent[0].format);
    EXPECT_EQ(120, host.sent[0].seconds);
    // The countdown starts when the message has been handed over.
    EXPECT_EQ(host.sent[0].at + 120000, countdown.Deadline());

    std::uint32_t start = host.sent[0].at;
    host.handOverMs = 0;
    std::uint32_t end = RunPasses(200, true, false);
    EXPECT_EQ(1, host.shutdowns);
    EXPECT_GT(end - start, 120000u);
    EXPECT_LE(end - start, 121000u);
    EXPECT_EQ((std::vector<std::string>{cvn::kOnBatteryMessage, cvn::kShutdownNowMessage}), Formats());
    EXPECT_EQ(-1, host.sent[1].seconds);
}

TEST_F(Countdown, LowBatteryAtSixtySecondsMovesTheDeadlineToNinety)
{
    std::uint32_t start = host.now;
    Pass(true, false);
    RunPasses(60, true, false);
    Pass(true, true);
    ASSERT_EQ(2u, host.sent.size());
    EXPECT_EQ(cvn::kLowBatteryMessage, host.sent[1].format);
    EXPECT_EQ(30, host.sent[1].seconds);
    EXPECT_EQ(start + 90000, countdown.Deadline());
    EXPECT_TRUE(countdown.LowBatteryWarned());
    std::uint32_t end = RunPasses(100, true, true);
    EXPECT_EQ(start + 91000, end);
    // The low-battery message came once in the episode.
    EXPECT_EQ(3u, host.sent.size());
}

TEST_F(Countdown, LowBatteryLateInTheEpisodeKeepsTheEarlierDeadline)
{
    std::uint32_t start = host.now;
    Pass(true, false);
    RunPasses(100, true, false);
    Pass(true, true);
    EXPECT_EQ(30, host.sent[1].seconds);
    EXPECT_EQ(start + 120000, countdown.Deadline());
    EXPECT_EQ(start + 121000, RunPasses(100, true, true));
}

TEST_F(Countdown, PowerRestoredCancelsAndTheNextEpisodeStartsAfresh)
{
    Pass(true, false);
    RunPasses(10, true, true);
    Pass(false, true);
    EXPECT_EQ(CCountdown::kMains, countdown.Deadline());
    EXPECT_EQ(cvn::kPowerRestoredMessage, host.sent.back().format);
    EXPECT_EQ(-1, host.sent.back().seconds);
    RunPasses(10, false, true);

    // The next episode warns of the low battery again.
    std::uint32_t start = host.now;
    Pass(true, true);
    EXPECT_EQ((std::vector<std::string>{cvn::kOnBatteryMessage, cvn::kLowBatteryMessage,
                                        cvn::kPowerRestoredMessage, cvn::kOnBatteryMessage,
                                        cvn::kLowBatteryMessage}),
              Formats());
    EXPECT_EQ(start + 30000, countdown.Deadline());
    EXPECT_EQ(0, host.shutdowns);
}

TEST_F(Countdown, BatteryLowOnMainsTakesEffectInTheFirstPassOnBattery)
{
    RunPasses(5, false, true);
    EXPECT_TRUE(host.sent.empty());
    Pass(true, true);
    EXPECT_EQ((std::vector<std::string>{cvn::kOnBatteryMessage, cvn::kLowBatteryMessage}), Formats());
}

TEST_F(Countdown, NegativeOnBatteryDelaySetsNoTimeUntilTheBatteryIsLow)
{
    Pass(true, false, -1, 30);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(CCountdown::kNoShutdownTime, countdown.Deadline());
    EXPECT_EQ(-1, countdown.TimeLeft(host.now));
    RunPasses(1000, true, false, -1, 30);
    EXPECT_EQ(0, host.shutdowns);

    std::uint32_t low = host.now + 1000;
    std::uint32_t end = RunPasses(100, true, true, -1, 30);
    EXPECT_EQ(low + 31000, end);
    EXPECT_EQ((std::vector<std::string>{cvn::kLowBatteryMessage, cvn::kShutdownNowMessage}), Formats());
}

TEST_F(Countdown, PowerRestoredIsSentEvenWhenNoShutdownWasAnnounced)
{
    Pass(true, false, -1, -1);
    Pass(true, true, -1, -1);
    RunPasses(500, true, true, -1, -1);
    Pass(false, false, -1, -1);
    EXPECT_EQ((std::vector<std::string>{cvn::kPowerRestoredMessage}), Formats());
    EXPECT_EQ(0, host.shutdowns);
}

TEST_F(Countdown, ZeroDelayShutsDownOnceTheTickHasMoved)
{
    Pass(true, false, 0, 30);
    ASSERT_EQ(1u, host.sent.size());
    EXPECT_EQ(0, host.sent[0].seconds);
    EXPECT_EQ(0, host.shutdowns);
    EXPECT_EQ(0, countdown.TimeLeft(host.now));
    host.now += 1;
    Pass(true, false, 0, 30);
    EXPECT_EQ(1, host.shutdowns);
}

TEST_F(Countdown, ZeroLowBatteryDelayShutsDownInThePassAfterTheReport)
{
    RunPasses(5, true, false, 120, 0);
    Pass(true, true, 120, 0);
    EXPECT_EQ(cvn::kLowBatteryMessage, host.sent.back().format);
    EXPECT_EQ(0, host.sent.back().seconds);
    EXPECT_EQ(0, host.shutdowns);
    host.now += 1000;
    Pass(true, true, 120, 0);
    EXPECT_EQ(1, host.shutdowns);
}

TEST_F(Countdown, ARefusedShutdownIsAskedForAgainEveryMinuteUntilPowerReturns)
{
    host.shutdownTaken = false;
    Pass(true, false, 0, 30);
    host.now += 1;
    Pass(true, false, 0, 30);
    ASSERT_EQ(1, host.shutdowns);
    // Not in every pass: a minute later, with the users told again.
    EXPECT_EQ(60000, countdown.TimeLeft(host.now));
    for (int i = 0; i < 59; ++i) {
        host.now += 1000;
        Pass(true, false, 0, 30);
    }
    EXPECT_EQ(1, host.shutdowns);
    host.now += 1000;
    Pass(true, false, 0, 30);
    EXPECT_EQ(2, host.shutdowns);
    EXPECT_EQ((std::vector<std::string>{cvn::kOnBatteryMessage, cvn::kShutdownNowMessage,
                                        cvn::kShutdownNowMessage}),
              Formats());
    // Mains power ends it; a new episode counts down afresh.
    Pass(false, false, 0, 30);
    host.now += 120000;
    Pass(true, false, 60, 30);
    EXPECT_EQ(2, host.shutdowns);
    EXPECT_EQ(60000, countdown.TimeLeft(host.now));
}

TEST_F(Countdown, ALoweredSettingBringsTheDeadlineForwardButNeverBack)
{
    std::uint32_t start = host.now;
    Pass(true, false, 120);
    RunPasses(10, true, false, 120);
    Pass(true, false, 20);
    EXPECT_EQ(start + 30000, countdown.Deadline());
    Pass(true, false, 600);
    EXPECT_EQ(start + 30000, countdown.Deadline());
    // A setting raised from negative during the episode sets a time, silently.
    CCountdown other;
    FakeHost quiet(0);
    other.Step(quiet, true, false, -1, 30);
    other.Step(quiet, true, false, 5, 30);
    EXPECT_EQ(5000u, other.Deadline());
    EXPECT_TRUE(quiet.sent.empty());
}

TEST_F(Countdown, CountdownsAcrossTheTickWrapFireAfterTheirDelay)
{
    for (std::uint32_t start : {0xFFFFFFFFu - 60000u, 0xFFFFFFFFu - 120000u, 0xFFFFFFFFu - 119999u,
                                0xFFFFFFFFu - 500u, 0x7FFFFFFFu - 1000u}) {
        FakeHost wrapHost(start);
        CCountdown c;
        c.Step(wrapHost, true, false, 120, 30);
        EXPECT_NE(CCountdown::kMains, c.Deadline());
        EXPECT_NE(CCountdown::kNoShutdownTime, c.Deadline());
        int passes = 0;
        while (wrapHost.shutdowns == 0 && passes < 500) {
            wrapHost.now += 1000;
            c.Step(wrapHost, true, false, 120, 30);
            ++passes;
        }
        EXPECT_EQ(121, passes) << "start " << start;
    }
}

TEST_F(Countdown, HugeDelaysAreCappedAndNeverExpireEarly)
{
    Pass(true, false, 2147483647, 30);
    EXPECT_EQ(host.now + 2147483000u, countdown.Deadline());
    RunPasses(3000, true, false, 2147483647, 30);
    EXPECT_EQ(0, host.shutdowns);
    EXPECT_GT(countdown.TimeLeft(host.now), 2000000000);
}

TEST_F(Countdown, TimeLeftCountsDownToZero)
{
    EXPECT_EQ(-1, countdown.TimeLeft(host.now));
    Pass(true, false, 10);
    EXPECT_EQ(10000, countdown.TimeLeft(host.now));
    EXPECT_EQ(2500, countdown.TimeLeft(host.now + 7500));
    EXPECT_EQ(0, countdown.TimeLeft(host.now + 10001));
}

// With a notice delay a blip stays on record only; an outage that lasts is
// told with the time really left, the clock having started at the failure.
TEST_F(Countdown, ANoticeDelayKeepsBlipsFromTheUsersButNotTheClock)
{
    Pass(true, false, 120, 30, 5);
    RunPasses(3, true, false, 120, 30, 5);
    Pass(false, false);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ((std::vector<std::string>{cvn::kOnBatteryMessage, cvn::kPowerRestoredMessage}), Formats(true));

    std::uint32_t start = host.now;
    Pass(true, false, 120, 30, 5);
    RunPasses(4, true, false, 120, 30, 5);
    EXPECT_TRUE(host.sent.empty());
    RunPasses(1, true, false, 120, 30, 5);
    ASSERT_EQ(1u, host.sent.size());
    EXPECT_EQ(115, host.sent[0].seconds);
    EXPECT_EQ(start + 121000, RunPasses(200, true, false, 120, 30, 5));

    // A part of a second left counts as a whole one.
    Pass(false, false);
    host.sent.clear();
    host.shutdowns = 0;
    Pass(true, false, 120, 30, 5);
    host.now += 5200;
    Pass(true, false, 120, 30, 5);
    ASSERT_EQ(1u, host.sent.size());
    EXPECT_EQ(115, host.sent[0].seconds);

    // A notice delay as long as the countdown leaves nothing to warn of.
    for (int noticeDelay : {5, 6}) {
        Pass(false, false);
        host.sent.clear();
        host.shutdowns = 0;
        Pass(true, false, 5, 30, noticeDelay);
        RunPasses(10, true, false, 5, 30, noticeDelay);
        EXPECT_EQ((std::vector<std::string>{cvn::kShutdownNowMessage}), Formats()) << noticeDelay;
    }
}

TEST_F(Countdown, ALowBatteryDuringTheNoticeDelayIsToldAtOnceAndNotFollowedByTheWarning)
{
    Pass(true, false, 120, 30, 10);
    host.now += 1000;
    RunPasses(20, true, true, 120, 30, 10);
    Pass(false, false);
    EXPECT_EQ((std::vector<std::string>{cvn::kLowBatteryMessage, cvn::kPowerRestoredMessage}), Formats());
}

// A request the system took (or a dry run) ends the episode's countdown: it is
// not made again, and nothing is due until power returns.
TEST_F(Countdown, ATakenShutdownIsNotAskedForAgain)
{
    RunPasses(4, true, false, 2);
    ASSERT_EQ(1, host.shutdowns);
    host.now += 100000;
    Pass(true, false, 2);
    EXPECT_EQ(1, host.shutdowns);
    EXPECT_EQ(-1, countdown.TimeLeft(host.now));
}

}  // namespace
