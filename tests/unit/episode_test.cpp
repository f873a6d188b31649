// The battery episode with synthetic tick counts: the messages, the
// deadline and the shutdown, pass by pass, with effects that answer at once
// unless a test holds them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exception.h"
#include "policy/episode.h"

using cvn::CEpisode;
using cvn::CEpisodeOutput;
using Kind = cvn::CEpisodeOutput::Kind;
using CCountdown = cvn::CEpisode;

namespace {

struct Sent {
    std::string format;
    int seconds;
    std::uint32_t at;
    int ups;
};

// The effects: notices hand over at once unless held, the request is taken
// unless refused, the command before the shutdown and the action answer as
// told (or not at all).
struct FakeHost {
    explicit FakeHost(std::uint32_t start) : now(start) {}
    std::uint32_t now;
    std::vector<Sent> recorded;
    std::vector<Sent> sent;
    std::vector<CEpisodeOutput> all;
    int shutdowns = 0;
    bool shutdownTaken = true;
    bool holdNotices = false;
    bool holdBeforeShutdown = false;
    bool holdAction = false;
    cvn::ActionOutcome action = cvn::ActionOutcome::Done;
    std::uint32_t lastId = 0;

    // Carries the episode's outputs out, and its answers back, until it has
    // nothing more to say.
    void Serve(CEpisode& episode)
    {
        for (;;) {
            std::vector<CEpisodeOutput> outputs = episode.TakeOutputs();
            if (outputs.empty())
                return;
            for (const CEpisodeOutput& out : outputs) {
                all.push_back(out);
                lastId = out.id;
                switch (out.kind) {
                case Kind::Record:
                    recorded.push_back({out.notice.format, out.seconds, now, out.ups});
                    break;
                case Kind::Notice:
                    sent.push_back({out.notice.format, out.seconds, now, out.ups});
                    if (!holdNotices)
                        episode.NoticeHandedOver(now, out.id);
                    break;
                case Kind::Request:
                    ++shutdowns;
                    episode.RequestResult(now, out.id, shutdownTaken);
                    break;
                case Kind::BeforeShutdown:
                    if (!holdBeforeShutdown)
                        episode.BeforeShutdownEnded(now, out.id);
                    break;
                case Kind::Action:
                    if (!holdAction)
                        episode.ActionResult(now, out.id, action, "it broke", 45000);
                    break;
                default:
                    break;
                }
            }
        }
    }
    int Count(Kind kind) const
    {
        int n = 0;
        for (const CEpisodeOutput& out : all)
            n += out.kind == kind ? 1 : 0;
        return n;
    }
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
            Pass(onBattery, low, onDelay, lowDelay, noticeDelay);
        }
        return host.now;
    }
    // One pass of the old countdown: the settings and the UPS's power. Mains
    // power is taken before the settings, so that a pass that ends the
    // episode does not first act on the settings it came with.
    void Pass(bool onBattery, bool low, int onDelay = 120, int lowDelay = 30, int noticeDelay = 0)
    {
        Pass(countdown, host, onBattery, low, onDelay, lowDelay, noticeDelay);
    }
    void Pass(CEpisode& episode, FakeHost& to, bool onBattery, bool low, int onDelay = 120, int lowDelay = 30,
              int noticeDelay = 0)
    {
        settings.onBatteryDelay = onDelay;
        settings.lowBatteryDelay = lowDelay;
        settings.noticeDelay = noticeDelay;
        if (!onBattery)
            episode.Power(to.now, 0, onBattery, low);
        episode.Settings(to.now, settings);
        episode.Power(to.now, 0, onBattery, low);
        to.Serve(episode);
    }
    std::vector<std::string> Formats(bool recorded = false) const
    {
        std::vector<std::string> formats;
        for (const Sent& s : recorded ? host.recorded : host.sent)
            formats.push_back(s.format);
        return formats;
    }

    FakeHost host{5000};
    cvn::CEpisodeSettings settings;
    CEpisode countdown;
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
    // The clock starts at the failure, however long the notice takes to
    // hand over: the battery drains meanwhile.
    std::uint32_t start = host.now;
    host.holdNotices = true;
    Pass(true, false);
    ASSERT_EQ(1u, host.sent.size());
    EXPECT_EQ(cvn::kOnBatteryMessage, host.sent[0].format);
    EXPECT_EQ(120, host.sent[0].seconds);
    EXPECT_EQ(start + 120000, countdown.Deadline());
    host.now += 10000;
    countdown.NoticeHandedOver(host.now, host.lastId);
    EXPECT_EQ(start + 120000, countdown.Deadline());

    host.holdNotices = false;
    std::uint32_t end = RunPasses(200, true, false);
    EXPECT_EQ(1, host.shutdowns);
    EXPECT_EQ(start + 121000, end);
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
    Pass(other, quiet, true, false, -1, 30);
    Pass(other, quiet, true, false, 5, 30);
    EXPECT_EQ(5000u, other.Deadline());
    EXPECT_TRUE(quiet.sent.empty());
}

TEST_F(Countdown, CountdownsAcrossTheTickWrapFireAfterTheirDelay)
{
    for (std::uint32_t start : {0xFFFFFFFFu - 60000u, 0xFFFFFFFFu - 120000u, 0xFFFFFFFFu - 119999u,
                                0xFFFFFFFFu - 500u, 0x7FFFFFFFu - 1000u}) {
        FakeHost wrapHost(start);
        CCountdown c;
        Pass(c, wrapHost, true, false, 120, 30);
        // A deadline on the values that once meant "mains" and "no time"
        // is a deadline like any other.
        EXPECT_EQ(120000, c.TimeLeft(start));
        int passes = 0;
        while (wrapHost.shutdowns == 0 && passes < 500) {
            wrapHost.now += 1000;
            Pass(c, wrapHost, true, false, 120, 30);
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

// The steps after the deadline, and the rules that the monitor's two loops
// kept apart before.
class Episode : public Countdown {
protected:
    // The n-th output of the kind, -1 when there is none.
    int Index(Kind kind, int n = 0) const
    {
        for (std::size_t i = 0; i < host.all.size(); ++i) {
            if (host.all[i].kind == kind && n-- == 0)
                return static_cast<int>(i);
        }
        return -1;
    }
    void Wait(std::uint32_t ms)
    {
        host.now += ms;
        countdown.Tick(host.now);
        host.Serve(countdown);
    }
};

TEST_F(Episode, AHungLastNoticeHoldsTheRequestOneSecondAndTheCommandBeforeItsTimeout)
{
    host.holdNotices = true;
    Pass(true, false, 5);
    Wait(5001);
    ASSERT_EQ(cvn::kShutdownNowMessage, host.sent.back().format);
    EXPECT_EQ(cvn::EpisodeState::LastNotice, countdown.State());
    EXPECT_EQ(1000, countdown.WakeIn(host.now));
    Wait(999);
    EXPECT_EQ(0, host.shutdowns);
    Wait(1);
    EXPECT_EQ(1, host.shutdowns);

    // The command before the shutdown starts beside the notice, holds the
    // request until it ends (here 20 s), and runs once in the episode.
    Pass(false, false);
    host.holdNotices = false;
    host.holdBeforeShutdown = true;
    host.shutdowns = 0;
    settings.beforeShutdown = true;
    settings.beforeShutdownTimeout = 30;
    Pass(true, false, 5);
    Wait(5001);
    const int before = Index(Kind::BeforeShutdown);
    ASSERT_GE(before, 0);
    EXPECT_EQ(Kind::Notice, host.all[static_cast<std::size_t>(before) - 1].kind);
    Wait(20000);
    EXPECT_EQ(0, host.shutdowns);
    countdown.BeforeShutdownEnded(host.now, host.all[static_cast<std::size_t>(before)].id);
    host.Serve(countdown);
    EXPECT_EQ(1, host.shutdowns);
    // One that never says it ended holds the request no longer than its
    // timeout, its start and a second.
    Pass(false, false);
    host.shutdowns = 0;
    Pass(true, false, 5);
    Wait(5001);
    Wait(31999);
    EXPECT_EQ(0, host.shutdowns);
    Wait(1);
    EXPECT_EQ(1, host.shutdowns);
    EXPECT_EQ(2, host.Count(Kind::BeforeShutdown));
}

// Mains power while the command before the shutdown runs does not undo
// it: the action and the request follow it, once, then the episode ends with
// its notice. Mains before the command began ends the episode as ever.
TEST_F(Episode, MainsDuringTheCommandBeforeTheShutdownLetsItsShutdownGoAhead)
{
    host.holdBeforeShutdown = true;
    settings.beforeShutdown = true;
    settings.beforeShutdownTimeout = 30;
    settings.action = "command";
    Pass(true, false, 5);
    Wait(5001);
    const int before = Index(Kind::BeforeShutdown);
    ASSERT_GE(before, 0);
    Pass(false, false, 5);
    EXPECT_EQ(cvn::EpisodeState::BeforeShutdown, countdown.State());
    EXPECT_EQ(0, host.Count(Kind::Action));
    Wait(10000);
    countdown.BeforeShutdownEnded(host.now, host.all[static_cast<std::size_t>(before)].id);
    host.Serve(countdown);
    // The command said it worked: on mains no fallback is owed.
    EXPECT_EQ(1, host.Count(Kind::Action));
    EXPECT_EQ(0, host.shutdowns);
    EXPECT_EQ(cvn::EpisodeState::Mains, countdown.State());
    EXPECT_EQ(cvn::kPowerRestoredMessage, host.sent.back().format);

    // Without an action the request follows, and a refused one is not
    // asked again on mains.
    settings.action = "";
    host.shutdownTaken = false;
    Pass(true, false, 5);
    Wait(5001);
    Pass(false, false, 5);
    countdown.BeforeShutdownEnded(host.now, host.all[static_cast<std::size_t>(Index(Kind::BeforeShutdown, 1))].id);
    host.Serve(countdown);
    Wait(31999);
    EXPECT_EQ(1, host.shutdowns);
    EXPECT_EQ(cvn::EpisodeState::Mains, countdown.State());
    Wait(120000);
    EXPECT_EQ(1, host.shutdowns);

    // Mains during the last notice's hand-over, before the command: nothing.
    host.holdNotices = true;
    settings.beforeShutdown = false;
    Pass(true, false, 5);
    Wait(5001);
    Pass(false, false, 5);
    Wait(2000);
    EXPECT_EQ(1, host.shutdowns);
    EXPECT_EQ(cvn::EpisodeState::Mains, countdown.State());
}

TEST_F(Episode, TheActionIsMadeOnceAndALowBatteryEndsTheFallbackAtOnce)
{
    struct Row {
        int lowAfterS;       // the battery runs low this long into the fallback; -1 never
        int lowDelay;
        std::uint32_t requestAfterMs;  // after the action's success
        int toldSeconds;     // "still running N seconds later"
    };
    const Row rows[] = {{-1, 30, 15000, 15}, {2, 30, 2000, 2}, {2, 5, 2000, 2}, {2, -1, 15000, 15}};
    for (const Row& row : rows) {
        CEpisode episode;
        FakeHost to(100);
        settings = cvn::CEpisodeSettings();
        settings.action = "hibernate";
        settings.fallbackDelay = 15;
        Pass(episode, to, true, false, 1, row.lowDelay);
        to.now += 1001;
        episode.Tick(to.now);
        to.Serve(episode);
        ASSERT_EQ(1, to.Count(Kind::Action));
        EXPECT_EQ(cvn::EpisodeState::Fallback, episode.State());
        const std::uint32_t done = to.now;
        to.shutdownTaken = false;
        for (std::uint32_t ms = 1000; to.shutdowns == 0 && ms <= 20000; ms += 1000) {
            to.now = done + ms;
            const bool low = row.lowAfterS >= 0 && ms >= static_cast<std::uint32_t>(row.lowAfterS) * 1000u;
            Pass(episode, to, true, low, 1, row.lowDelay);
        }
        EXPECT_EQ(done + row.requestAfterMs, to.now) << row.lowAfterS << "/" << row.lowDelay;
        ASSERT_EQ(1, to.Count(Kind::ActionNoEffect));
        for (const CEpisodeOutput& out : to.all) {
            if (out.kind == Kind::ActionNoEffect) {
                EXPECT_EQ(row.toldSeconds, out.seconds);
            }
            // The users are told the time really left: none.
            if (out.kind == Kind::Notice && out.notice.messageId == MSG_LOW_BATTERY) {
                EXPECT_EQ(0, out.seconds) << row.lowAfterS << "/" << row.lowDelay;
            }
        }
        // Refused: asked again a minute later, the action never again.
        to.now += 60000;
        Pass(episode, to, true, true, 1, row.lowDelay);
        EXPECT_EQ(1, to.Count(Kind::Action));
        EXPECT_EQ(2, to.shutdowns);
    }
}

TEST_F(Episode, AFailedActionShutsDownAtOnceAndASuspendedOneStartsAfresh)
{
    settings.action = "command";
    host.action = cvn::ActionOutcome::Failed;
    Pass(true, false, 1);
    Wait(1001);
    ASSERT_EQ(1, host.shutdowns);
    const int failed = Index(Kind::ActionFailed);
    ASSERT_GE(failed, 0);
    EXPECT_EQ("command", host.all[static_cast<std::size_t>(failed)].text);
    EXPECT_EQ("it broke", host.all[static_cast<std::size_t>(failed)].detail);
    EXPECT_LT(failed, Index(Kind::Request));

    // A command that blocks through a suspension: a fresh start, with a new
    // full countdown from the power last heard, and the action may be made
    // again in it.
    Pass(false, false);
    host.all.clear();
    host.shutdowns = 0;
    host.action = cvn::ActionOutcome::Suspended;
    Pass(true, false, 10);
    Wait(10001);
    EXPECT_EQ(0, host.shutdowns);
    ASSERT_GE(Index(Kind::Resumed), 0);
    EXPECT_EQ(45, host.all[static_cast<std::size_t>(Index(Kind::Resumed))].seconds);
    EXPECT_EQ(host.now + 10000, countdown.Deadline());
    EXPECT_EQ(cvn::kOnBatteryMessage, host.sent.back().format);
    // The driver's own wait saw the same suspension: not a second start.
    countdown.Suspended(host.now + 500, 45500);
    host.Serve(countdown);
    EXPECT_EQ(1, host.Count(Kind::Resumed));
    host.action = cvn::ActionOutcome::Failed;
    Wait(10001);
    EXPECT_EQ(2, host.Count(Kind::Action));
    EXPECT_EQ(1, host.shutdowns);
}

TEST_F(Episode, AFreshStartKeepsThePowerAndRunsTheOnceOnlyStepsAgain)
{
    settings.beforeShutdown = true;
    host.shutdownTaken = false;
    Pass(true, true, 120, 5);
    Wait(5001);
    EXPECT_EQ(1, host.Count(Kind::BeforeShutdown));
    EXPECT_EQ(1, host.shutdowns);
    // A stale deadline is not acted on after the resume: nothing is due
    // until the new full countdown has run.
    host.now += 3600000;
    countdown.Suspended(host.now, 3600000);
    host.Serve(countdown);
    EXPECT_EQ(1, host.shutdowns);
    EXPECT_EQ(cvn::EpisodeState::LowBattery, countdown.State());
    EXPECT_EQ(host.now + 5000, countdown.Deadline());
    EXPECT_EQ((std::vector<std::string>{cvn::kOnBatteryMessage, cvn::kLowBatteryMessage}),
              (std::vector<std::string>{host.sent[host.sent.size() - 2].format, host.sent.back().format}));
    Wait(5001);
    EXPECT_EQ(2, host.Count(Kind::BeforeShutdown));
    EXPECT_EQ(2, host.shutdowns);
    // On mains a resume is only put on record.
    Pass(false, false);
    const std::size_t sent = host.sent.size();
    countdown.Suspended(host.now + 60000, 50000);
    host.Serve(countdown);
    EXPECT_EQ(sent, host.sent.size());
    EXPECT_EQ(cvn::EpisodeState::Mains, countdown.State());
}

// A UPS not heard from counts as on mains while every one heard from is, and
// as on battery with a good battery once one is not.
TEST_F(Episode, AnUnheardUpsCountsWithTheOthers)
{
    struct Row {
        const char* heard;  // per UPS: m mains, b battery, B battery low, - unheard
        int minimum;
        bool onBattery;
        bool low;
    };
    const Row rows[] = {
        {"--", 1, false, false}, {"m-", 1, false, false}, {"m-", 2, false, false}, {"b-", 1, true, false},
        {"b-", 2, true, false},  {"B-", 1, true, false},  {"B-", 2, true, true},   {"bm-", 2, true, false},
        {"bm-", 1, false, false}, {"mm-", 3, false, false}, {"Bm-", 2, true, false}, {"BB-", 2, true, true},
    };
    for (const Row& row : rows) {
        const std::string heard = row.heard;
        CEpisode episode(heard.size());
        cvn::CEpisodeSettings s;
        s.minimumSupplies = row.minimum;
        episode.Settings(1, s);
        for (std::size_t i = 0; i < heard.size(); ++i) {
            if (heard[i] != '-')
                episode.Power(2, i, heard[i] != 'm', heard[i] == 'B');
        }
        EXPECT_EQ(row.onBattery, episode.Computer().onBattery) << row.heard << " " << row.minimum;
        EXPECT_EQ(row.low, episode.Computer().batteryLow) << row.heard << " " << row.minimum;
    }

    // Each unheard one is reported once, after its first failed attempt,
    // and only when there are several.
    CEpisode two(2);
    two.AttemptFailed(1, 1);
    two.AttemptFailed(2, 1);
    two.AttemptFailed(3, 0);
    two.Power(4, 0, false, false);
    two.AttemptFailed(5, 0);
    std::vector<int> reported;
    for (const CEpisodeOutput& out : two.TakeOutputs()) {
        if (out.kind == Kind::Unheard)
            reported.push_back(out.ups);
    }
    EXPECT_EQ((std::vector<int>{1, 0}), reported);
    CEpisode one(1);
    one.AttemptFailed(1, 0);
    EXPECT_TRUE(one.TakeOutputs().empty());
}

TEST_F(Episode, ALostSessionOnBatteryMeansLowOnlyWhereTheSettingsSaySo)
{
    for (bool lostLow : {false, true}) {
        CEpisode episode(2);
        cvn::CEpisodeSettings s;
        s.lostOnBatteryLow = lostLow;
        episode.Settings(1, s);
        episode.Power(1, 0, false, false);
        episode.SessionLost(2, 0);
        EXPECT_FALSE(episode.Computer().batteryLow);
        episode.Power(3, 0, true, false);
        episode.Power(3, 1, true, false);
        episode.SessionLost(4, 1);
        EXPECT_FALSE(episode.Computer().batteryLow);
        episode.SessionLost(5, 0);
        EXPECT_EQ(lostLow, episode.Computer().batteryLow);
        // A new session tells the truth.
        episode.Power(6, 0, true, false);
        EXPECT_FALSE(episode.Computer().batteryLow);
    }
}

// "Shutting down" names the UPS whose failure began the episode, the other
// reports the UPS whose change they are about.
TEST_F(Episode, TheReportsNameTheUpsTheyAreAbout)
{
    CEpisode episode(3);
    FakeHost to(0xFFFFFF00u);
    cvn::CEpisodeSettings s;
    s.minimumSupplies = 2;
    s.onBatteryDelay = 10;
    episode.Settings(to.now, s);
    episode.Power(to.now, 0, false, false);
    episode.Power(to.now, 1, false, false);
    episode.Power(to.now, 2, false, false);
    episode.Power(to.now, 2, true, false);
    episode.Power(to.now, 1, true, false);
    to.Serve(episode);
    to.now += 2000;
    episode.Power(to.now, 0, false, true);
    episode.Power(to.now, 2, true, true);
    to.now += 9000;
    episode.Tick(to.now);
    to.Serve(episode);
    std::vector<std::pair<std::string, int>> records;
    for (const Sent& r : to.recorded)
        records.emplace_back(r.format, r.ups);
    EXPECT_EQ((std::vector<std::pair<std::string, int>>{{cvn::kOnBatteryMessage, 1},
                                                        {cvn::kLowBatteryMessage, 2},
                                                        {cvn::kShutdownNowMessage, 1}}),
              records);
}

TEST_F(Episode, ADryRunIsPutOnRecordOnceAndOutcomesOfAnEndedEpisodeAreLeft)
{
    settings.dryRun = true;
    settings.action = "hibernate";
    Pass(true, false, 1);
    Wait(1001);
    EXPECT_EQ(1, host.Count(Kind::DryRun));
    EXPECT_EQ(0, host.shutdowns);
    EXPECT_EQ(0, host.Count(Kind::Action));
    Wait(600000);
    EXPECT_EQ(1, host.Count(Kind::DryRun));

    // An action still at work when the power returns: its late success
    // starts no fallback on mains, nor in the next episode.
    settings.dryRun = false;
    host.holdAction = true;
    Pass(false, false);
    Pass(true, false, 1);
    Wait(1001);
    const std::uint32_t action = host.lastId;
    Pass(false, false);
    Pass(true, false, 100);
    countdown.ActionResult(host.now, action, cvn::ActionOutcome::Done, "");
    host.Serve(countdown);
    EXPECT_EQ(cvn::EpisodeState::Countdown, countdown.State());
    EXPECT_EQ(0, host.shutdowns);
}

TEST(EpisodeStates, TheDocumentedNamesAreTheCoresOwn)
{
    std::vector<std::string> names;
    for (int i = 0; i < cvn::kEpisodeStateCount; ++i)
        names.push_back(cvn::EpisodeStateName(static_cast<cvn::EpisodeState>(i)));
    EXPECT_EQ((std::vector<std::string>{"Mains", "Countdown", "LowBattery", "LastNotice", "BeforeShutdown", "Action",
                                        "Fallback", "Request", "Refused", "Taken"}),
              names);
}

}  // namespace
