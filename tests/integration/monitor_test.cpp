// The real CVNRemote against the UPS server simulator, with delays of a few
// seconds in its settings: warnings, the shutdown on time, cancelling,
// reconnecting, and a server that stalls while a countdown runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/capture.h"
#include "support/client_env.h"
#include "support/process.h"
#include "upssim/server.h"

using namespace cvntest;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kOnBattery3 = "UPS on battery, system will shutdown in 3 seconds.";
const char* const kShutdownNow = "UPS on battery, shuting down now.";
const char* const kRestored = "UPS power restored, aborting shutdown.";
const char* const kOnBattery8 = "UPS on battery, system will shutdown in 8 seconds.";

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

class Monitor : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    void TearDown() override { server.Stop(); }

    void WriteSettings(int onDelay, int lowDelay, const std::string& address = "127.0.0.1")
    {
        WriteFile(env.AppDir() + "CVNRemote.ini",
                  "[Settings]\nServer Address=" + address + "\nServer Port=" + std::to_string(server.Port()) +
                      "\nOn Battery Shutdown=" + std::to_string(onDelay) +
                      "\nLow Battery Shutdown=" + std::to_string(lowDelay) + "\n" + extraSettings +
                      "[Debug]\nOn=1\nLevel=3\n");
    }

    // Starts the client and waits until it has asked for both values.
    void StartClient(int onDelay, int lowDelay = 30, RunOptions options = {})
    {
        WriteSettings(onDelay, lowDelay);
        client = env.Start("CVNRemote", {"daemon"}, options);
        ASSERT_TRUE(server.WaitForText(1, "GetValue(Battery Status)\r\n", 20000)) << client->Err();
    }

    // The text of each user message so far, in order, and whether the
    // shutdown was asked for (natively the shutdown stand-in records it;
    // under Wine the monitor ends right after the request).
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> texts;
        for (const RecordedCall& call : env.Calls()) {
            std::string line = call.commandLine;
            std::string::size_type at = line.find(" send ");
            if (at != std::string::npos) {
                at = line.find(' ', at + 6);
                texts.push_back(line.substr(at + 1));
            } else if (line.compare(0, 5, "wall ") == 0) {
                texts.push_back(line.substr(5));
            }
        }
        return texts;
    }
    bool ShutdownRequested() const
    {
#if defined(_WIN32)
        return !client->Running() && !Messages().empty() && Messages().back() == kShutdownNow;
#else
        for (const RecordedCall& call : env.Calls()) {
            if (call.commandLine == "shutdown -h now")
                return true;
        }
        return false;
#endif
    }

    // When the count-th message appeared (Clock::time_point() if it did not
    // within the time limit).
    Clock::time_point AwaitMessage(size_t count, int timeoutMs = 20000) const
    {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            if (Messages().size() >= count)
                return Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Clock::time_point();
    }
    bool AwaitShutdown(int timeoutMs) const
    {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            if (ShutdownRequested())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // On battery, the server goes after the warning (the fault, then every
    // session closed); the shutdown must still come within limitS of the
    // warning.
    void ExpectShutdownDespite(upssim::Fault fault, double limitS)
    {
        server.SetOutput("Battery");
        Clock::time_point warned = AwaitMessage(1);
        ASSERT_NE(Clock::time_point(), warned);
        server.SetFault(fault, true);
        server.CloseConnections();
        Clock::time_point shutdown = AwaitMessage(2, 15000);
        ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
        EXPECT_LE(Seconds(shutdown - warned), limitS);
        EXPECT_TRUE(AwaitShutdown(10000));
    }

    // Whether a report has come on standard error.
    bool AwaitReport(const std::string& line, int timeoutMs = 10000) const
    {
        return server.WaitFor([&] { return Lines(client->Err()).find("\n" + line + "\n") != std::string::npos; },
                              timeoutMs);
    }

    upssim::CServer server;
    ClientEnv env;
    std::unique_ptr<Process> client;
    // Lines of [Settings] that a test adds (ending in a line end).
    std::string extraSettings;
};

TEST_F(Monitor, OnBatteryWarnsThenShutsDownWhenTheDelayHasPassed)
{
    StartClient(3);
    server.SetOutput("Battery");
    Clock::time_point warned = AwaitMessage(1);
    ASSERT_NE(Clock::time_point(), warned) << client->Err();
    Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown);
    EXPECT_GE(Seconds(shutdown - warned), 2.9);
    EXPECT_LE(Seconds(shutdown - warned), 4.5);
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
    EXPECT_TRUE(AwaitShutdown(10000));
    // The monitor ends after the shutdown request.
    ProcessResult r = client->Wait(15000);
    EXPECT_EQ(0, r.exitCode);
    // The users' messages are on record too, here on standard error.
    std::string err = Lines(r.err);
    EXPECT_NE(std::string::npos, err.find("\n" + std::string(kOnBattery3) + "\n")) << err;
    EXPECT_NE(std::string::npos, err.find("\n" + std::string(kShutdownNow) + "\n")) << err;
    // What the server sent is in the trace, its line ends left out (one read
    // may hold several lines).
    std::string trace = ReadText(env.AppDir() + "agtrace.log");
    size_t update = trace.find("Output Source={{Battery}}\n");
    ASSERT_NE(std::string::npos, update) << trace;
    EXPECT_EQ(0u, trace.compare(trace.rfind('\n', update) + 1, 8, "T3:RECV:")) << trace;
}

#if !defined(_WIN32)
// A last notice that hangs (wall stuck on a terminal) holds the shutdown
// request back 1 s at most; it used to wait for the notice's 10 s.
TEST_F(Monitor, AHungLastNoticeHoldsTheShutdownBackOneSecondAtMost)
{
    StartClient(3);
    server.SetOutput("Battery");
    const Clock::time_point warned = AwaitMessage(1);
    ASSERT_NE(Clock::time_point(), warned) << client->Err();
    env.SetHanging("wall", true);
    const Clock::time_point last = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), last) << client->Err();
    ASSERT_TRUE(AwaitShutdown(10000)) << client->Err();
    const double late = Seconds(Clock::now() - last);
    EXPECT_GE(Seconds(last - warned), 2.9);
    EXPECT_GE(late, 0.9);
    EXPECT_LE(late, 2.5);
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
}
#endif

TEST_F(Monitor, LowBatteryShortensTheCountdown)
{
    StartClient(60, 2);
    server.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessage(1));
    server.SetBattery("Low");
    Clock::time_point low = AwaitMessage(2);
    ASSERT_NE(Clock::time_point(), low);
    Clock::time_point shutdown = AwaitMessage(3, 10000);
    ASSERT_NE(Clock::time_point(), shutdown);
    EXPECT_GE(Seconds(shutdown - low), 1.9);
    EXPECT_LE(Seconds(shutdown - low), 3.5);
    EXPECT_EQ((std::vector<std::string>{"UPS on battery, system will shutdown in 60 seconds.",
                                        "UPS battery low, system will shutdown in 2 seconds.", kShutdownNow}),
              Messages());
    EXPECT_TRUE(AwaitShutdown(10000));
}

TEST_F(Monitor, PowerRestoredCancelsAndTheNextFailureStartsAfresh)
{
    StartClient(3);
    server.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessage(1));
    server.SetOutput("Line");
    ASSERT_NE(Clock::time_point(), AwaitMessage(2));
    // Well past the first deadline: nothing more.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kRestored}), Messages());
    EXPECT_FALSE(ShutdownRequested());

    server.SetOutput("Battery");
    Clock::time_point warned = AwaitMessage(3);
    ASSERT_NE(Clock::time_point(), warned);
    Clock::time_point shutdown = AwaitMessage(4, 10000);
    EXPECT_GE(Seconds(shutdown - warned), 2.9);
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kRestored, kOnBattery3, kShutdownNow}), Messages());
}

TEST_F(Monitor, LostSessionOnBatteryStillShutsDownOnTime)
{
    StartClient(4);
    server.SetOutput("Battery");
    Clock::time_point warned = AwaitMessage(1);
    ASSERT_NE(Clock::time_point(), warned);
    // The server goes away for good: every attempt fails.
    server.SetFault(upssim::Fault::Refuse, true);
    server.CloseConnections();
    Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_GE(Seconds(shutdown - warned), 3.9);
    EXPECT_LE(Seconds(shutdown - warned), 5.5);
    EXPECT_TRUE(AwaitShutdown(10000));
    std::string err = Lines(client->Err());
    EXPECT_NE(std::string::npos, err.find("Connection to server lost!  Will attept to reconnect every 20 seconds.\n"));
    EXPECT_NE(std::string::npos, err.find("Unable to connect to !!\n"));
}

TEST_F(Monitor, ASilentServerDoesNotPostponeTheShutdown)
{
    StartClient(3);
    // Connections are accepted and never answered.
    ExpectShutdownDespite(upssim::Fault::Silent, 4.5);
}

TEST_F(Monitor, AClosedSessionIsReconnectedAndTheCountdownGoesOn)
{
    StartClient(60);
    server.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessage(1));
    server.CloseConnections();
    // On battery the client pauses a second and logs in again.
    ASSERT_TRUE(server.WaitForText(2, "GetValue(Battery Status)\r\n", 15000)) << client->Err();
    EXPECT_TRUE(client->Running());
    EXPECT_GE(server.Connection(2).acceptedMs - server.Connection(1).closedMs, 900);
    server.SetOutput("Line");
    ASSERT_NE(Clock::time_point(), AwaitMessage(2));
    EXPECT_EQ((std::vector<std::string>{"UPS on battery, system will shutdown in 60 seconds.", kRestored}),
              Messages());
    std::string err = Lines(client->Err());
    EXPECT_NE(std::string::npos, err.find("Connection to server lost!")) << err;
    EXPECT_NE(err.find("Successfully Connected."), err.rfind("Successfully Connected.")) << err;
}

// Out-of-band data on the session ends it as lost, and the client logs in
// again at once: on mains nothing else would end its 10-second wait.
TEST_F(Monitor, OutOfBandDataEndsTheSessionAndTheClientLogsInAgainAtOnce)
{
    StartClient(60);
    Clock::time_point sent = Clock::now();
    server.SendUrgent();
    ASSERT_TRUE(server.WaitForText(2, "GetValue(Battery Status)\r\n", 15000)) << client->Err();
    EXPECT_LT(Seconds(Clock::now() - sent), 5.0);
    EXPECT_NE(std::string::npos, client->Err().find("Connection to server lost!")) << client->Err();
    EXPECT_TRUE(client->Running());
}

// A server that falls silent with the session open (a hung process, a
// network that died without a word) is asked for the output source 10 s
// after it last sent something, given up 10 s later, and connected again.
TEST_F(Monitor, ASilentServerIsAskedOnceAndGivenUpTenSecondsLater)
{
    StartClient(600);
    server.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessage(1));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    server.SendRaw("\r\n");
    Clock::time_point heard = Clock::now();
    server.SetFault(upssim::Fault::Silent, true);

    const std::string query = "GetValue(Output Source)\r\n";
    ASSERT_TRUE(server.WaitFor([&] { return Count(server.ReceivedText(1), query) == 2; }, 15000));
    EXPECT_GE(Seconds(Clock::now() - heard), 9.5);
    EXPECT_LE(Seconds(Clock::now() - heard), 11.0);
    const std::string lost = "Connection to server lost!";
    ASSERT_TRUE(server.WaitFor([&] { return client->Err().find(lost) != std::string::npos; }, 15000));
    EXPECT_GE(Seconds(Clock::now() - heard), 19.5);
    EXPECT_LE(Seconds(Clock::now() - heard), 21.5);

    const Clock::time_point lostAt = Clock::now();
    server.SetFault(upssim::Fault::Silent, false);
    // After the usual pause (1 s on battery), not at once.
    ASSERT_TRUE(server.WaitForConnections(2, 10000)) << client->Err();
    EXPECT_GE(Seconds(Clock::now() - lostAt), 0.7);
    ASSERT_TRUE(server.WaitForText(2, "GetValue(Battery Status)\r\n", 10000)) << client->Err();
    EXPECT_TRUE(server.Connection(1).closedByClient);
    // The question is traced like the other lines sent: two sessions, one question.
    EXPECT_EQ(3u, Count(ReadText(env.AppDir() + "agtrace.log"), "T3:SEND:GetValue(Output Source)\n"));
}

// A quiet server that answers the question is kept: the answer clears the
// question, and the next one goes out 10 s later.
TEST_F(Monitor, AQuietServerThatAnswersTheQuestionIsNeverGivenUp)
{
    StartClient(600);
    const std::string query = "GetValue(Output Source)\r\n";
    ASSERT_TRUE(server.WaitFor([&] { return Count(server.ReceivedText(1), query) >= 3; }, 35000)) << client->Err();
    EXPECT_EQ(1u, server.Connections().size());
    EXPECT_EQ(std::string::npos, client->Err().find("Connection to server lost!"));
}

#if !defined(_WIN32)
// A name server that takes 12 s a look-up does not hold the shutdown past its
// deadline when the session is lost and every attempt must look the name up.
TEST_F(Monitor, ASlowNameServerDoesNotPostponeTheShutdown)
{
    const RunOptions slow = SlowResolver(12000);
    StartClient(4, 30, slow);
    WriteSettings(4, 30, "ups.slow.test");
    ExpectShutdownDespite(upssim::Fault::Refuse, 5.5);
}

// On mains an attempt has no deadline: one that takes over 30 s (a slow name
// server, a server slow to answer each step) is slow, not a suspension.
TEST_F(Monitor, ASlowConnectionAttemptIsNoSuspension)
{
    const RunOptions slow = SlowResolver(5000);
    server.SetDelay(9500);
    WriteSettings(600, 30, "ups.slow.test");
    const Clock::time_point start = Clock::now();
    client = env.Start("CVNRemote", {"daemon"}, slow);
    ASSERT_TRUE(AwaitReport("Successfully Connected.", 60000)) << client->Err();
    EXPECT_GE(Seconds(Clock::now() - start), 30.0);
    // The pass goes on to its wait (the answers come 9.5 s late) before it
    // looks at how long it took.
    std::this_thread::sleep_for(std::chrono::seconds(11));
    EXPECT_EQ(std::string::npos, client->Err().find("The system was suspended")) << client->Err();
    EXPECT_EQ(1u, server.Connections().size());
}
#endif

TEST_F(Monitor, ALoweredDelayTakesEffectDuringTheCountdown)
{
    StartClient(60);
    server.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessage(1));
    Clock::time_point edited = Clock::now();
    WriteSettings(2, 30);
    Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown);
    // The new delay counts from when the file is taken: at the first pass
    // that sees it (within a second) once it has read the same for 500 ms.
    EXPECT_GE(Seconds(shutdown - edited), 2.5);
    EXPECT_LE(Seconds(shutdown - edited), 6.0);
    EXPECT_EQ(kShutdownNow, Messages().back());
}

TEST_F(Monitor, AnUnreachableServerIsTriedAgainAfterTwentySeconds)
{
    std::uint16_t port = server.Port();
    server.Stop();
    WriteFile(env.AppDir() + "CVNRemote.ini",
              "[Settings]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(port) + "\n");
    client = env.Start("CVNRemote", {"daemon"});
    const std::string failed = "Unable to connect to !!\n";
    Clock::time_point end = Clock::now() + std::chrono::seconds(40);
    Clock::time_point first, second;
    while (Clock::now() < end && second == Clock::time_point()) {
        std::string err = Lines(client->Err());
        size_t at = err.find(failed);
        if (at != std::string::npos && first == Clock::time_point())
            first = Clock::now();
        if (at != std::string::npos && err.find(failed, at + 1) != std::string::npos)
            second = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(Clock::time_point(), second) << client->Err();
    EXPECT_GE(Seconds(second - first), 19.0);
    EXPECT_LE(Seconds(second - first), 23.0);
    // Each attempt traces the address it tries (a name may have several).
    EXPECT_EQ(0u, Lines(client->Err())
                      .find("Connecting to server.\nT3:CONNECT:127.0.0.1:" + std::to_string(port) + "\n" + failed))
        << client->Err();
    EXPECT_TRUE(Messages().empty());
}

// TCP may deliver an update in pieces, and each piece is part of its line,
// not a line: "Bat" is no mains and "{{O" no low battery. The warning and
// the shutdown come as for a whole line, and nothing else.
TEST_F(Monitor, AnUpdateCutBetweenReadsIsTakenAsTheWholeLine)
{
    StartClient(3);
    server.SetFault(upssim::Fault::SplitLines, true);
    server.SetOutput("Battery");
    const Clock::time_point warned = AwaitMessage(1);
    ASSERT_NE(Clock::time_point(), warned) << client->Err();
    server.SendRaw("Battery Status={{O");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.SendRaw("K}}\r\n");
    const Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_GE(Seconds(shutdown - warned), 2.5);
    EXPECT_LE(Seconds(shutdown - warned), 4.0);
    EXPECT_TRUE(AwaitShutdown(5000));
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
}

// A server repeating what it said as fast as the client reads: lines that
// change nothing bring no notice, and the deadline holds.
TEST_F(Monitor, AFloodOfUnchangedLinesChangesNothingAndTheDeadlineHolds)
{
    StartClient(3);
    server.SetOutput("Battery");
    const Clock::time_point warned = AwaitMessage(1);
    ASSERT_NE(Clock::time_point(), warned) << client->Err();
    std::string burst;
    for (int i = 0; i < 100; ++i)
        burst += "Output Source={{Battery}}\r\nBattery Status={{OK}}\r\n";
    Clock::time_point shutdown;
    while (Clock::now() < warned + std::chrono::seconds(10) && shutdown == Clock::time_point()) {
        server.SendRaw(burst);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (Messages().size() >= 2)
            shutdown = Clock::now();
    }
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_GE(Seconds(shutdown - warned), 2.5);
    EXPECT_LE(Seconds(shutdown - warned), 4.5);
    EXPECT_TRUE(AwaitShutdown(5000));
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
}

// A blip shorter than the notice delay is on record only; an outage that
// lasts is told once the delay has passed, with the time really left, and
// the shutdown comes on the clock that started at the failure.
TEST_F(Monitor, ANoticeDelayKeepsABlipFromTheUsersButNotTheShutdownClock)
{
    extraSettings = "Notice Delay=5\n";
    StartClient(8);
    server.SetOutput("Battery");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    server.SetOutput("Line");
    ASSERT_TRUE(AwaitReport(kRestored)) << client->Err();
    EXPECT_NE(std::string::npos, Lines(client->Err()).find("\n" + std::string(kOnBattery8) + "\n"));
    EXPECT_TRUE(Messages().empty());

    Clock::time_point failed = Clock::now();
    server.SetOutput("Battery");
    Clock::time_point warned = AwaitMessage(1);
    Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_GE(Seconds(warned - failed), 4.9);
    EXPECT_LE(Seconds(warned - failed), 6.5);
    EXPECT_GE(Seconds(shutdown - failed), 7.9);
    EXPECT_LE(Seconds(shutdown - failed), 9.5);
    EXPECT_EQ("UPS on battery, system will shutdown in ", Messages()[0].substr(0, 40));
    EXPECT_NE(kOnBattery8, Messages()[0]);
    EXPECT_TRUE(AwaitShutdown(10000));
}

TEST_F(Monitor, ASessionLostOnBatteryCountsAsALowBatteryOnlyWhenTheSettingsSaySo)
{
    extraSettings = "Lost On Battery=keep\n";
    StartClient(60, 2);
    server.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessage(1));
    server.CloseConnections();
    ASSERT_TRUE(server.WaitForText(2, "GetValue(Battery Status)\r\n", 15000)) << client->Err();
    // Past the time a low battery would have left.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(1u, Messages().size());

    // Read as written, trailing blank and all.
    extraSettings = "Lost On Battery=low \n";
    WriteSettings(60, 2);
    // A changed file is taken once it has read the same for half a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    server.SetFault(upssim::Fault::Refuse, true);
    Clock::time_point lost = Clock::now();
    server.CloseConnections();
    Clock::time_point low = AwaitMessage(2);
    Clock::time_point shutdown = AwaitMessage(3, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    // The usual pause after a lost session comes first.
    EXPECT_LE(Seconds(low - lost), 2.5);
    EXPECT_GE(Seconds(shutdown - low), 1.9);
    EXPECT_LE(Seconds(shutdown - low), 3.5);
    EXPECT_EQ("UPS battery low, system will shutdown in 2 seconds.", Messages()[1]);
    EXPECT_TRUE(AwaitShutdown(10000));
}

// Everything as usual, the users' messages included, but the shutdown is
// only on record, once; the client monitors on and sees the power return.
TEST_F(Monitor, ADryRunGoesThroughAWholeEpisodeWithoutAShutdown)
{
    extraSettings = "Dry Run=1\n";
    StartClient(2);
    server.SetOutput("Battery");
    const std::string dryRun = "Dry run: the system would shut down now";
    ASSERT_TRUE(AwaitReport(dryRun)) << client->Err();
    // Past the minute after which a refused request is made again.
    std::this_thread::sleep_for(std::chrono::seconds(62));
    server.SetOutput("Line");
    ASSERT_NE(Clock::time_point(), AwaitMessage(3));
    EXPECT_EQ((std::vector<std::string>{"UPS on battery, system will shutdown in 2 seconds.", kShutdownNow, kRestored}),
              Messages());
    EXPECT_EQ(1u, Count(Lines(client->Err()), dryRun));
    EXPECT_TRUE(client->Running());
    EXPECT_FALSE(ShutdownRequested());
}

#if !defined(_WIN32)
// An editor that saves in place: it truncates the file, then writes it a
// few bytes at a time, over and over, so that the client's reads meet the
// file empty or cut short most of the time.
class CInPlaceSaver {
public:
    CInPlaceSaver(const std::string& path, const std::string& text)
        : m_thread([this, path, text] {
              while (!m_bStop) {
                  FILE* file = std::fopen(path.c_str(), "w");
                  if (!file)
                      continue;
                  for (std::size_t at = 0; at < text.size() && !m_bStop; at += 7) {
                      std::fwrite(text.data() + at, 1, std::min<std::size_t>(7, text.size() - at), file);
                      std::fflush(file);
                      std::this_thread::sleep_for(std::chrono::microseconds(300));
                  }
                  std::fclose(file);
                  ++m_nSaves;
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          })
    {
    }
    ~CInPlaceSaver()
    {
        m_bStop = true;
        m_thread.join();
    }
    int Saves() const { return m_nSaves; }

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nSaves{0};
    std::thread m_thread;
};

class SavedInPlace : public Monitor {
protected:
    // The client runs on the given settings, which are then saved in
    // place for as long as the test lasts.
    void StartSaving(int onDelay, int lowDelay)
    {
        StartClient(onDelay, lowDelay);
        saver.reset(new CInPlaceSaver(env.AppDir() + "CVNRemote.ini", ReadText(env.AppDir() + "CVNRemote.ini")));
    }
    void TearDown() override
    {
        saver.reset();
        Monitor::TearDown();
    }
    std::string Reports() const { return Lines(client->Err()); }

    std::unique_ptr<CInPlaceSaver> saver;
};

// On mains the session breaks while the file is being saved: the client
// connects again with the address it had, and runs on.
TEST_F(SavedInPlace, OnMainsTheClientReconnectsAndRunsOn)
{
    StartSaving(60, 30);
    server.CloseConnections();
    ASSERT_TRUE(server.WaitForText(2, "GetValue(Battery Status)\r\n", 30000)) << client->Err();
    EXPECT_TRUE(client->Running());
    EXPECT_GT(saver->Saves(), 100);
    EXPECT_EQ(std::string::npos, Reports().find("No server address specified")) << Reports();
    EXPECT_EQ(0u, Count(Reports(), "The settings file"));
}

TEST_F(SavedInPlace, ADryRunStaysADryRun)
{
    extraSettings = "Dry Run=1\n";
    StartSaving(2, 30);
    server.SetOutput("Battery");
    ASSERT_TRUE(AwaitReport("Dry run: the system would shut down now")) << client->Err();
    server.SetBattery("Low");
    std::this_thread::sleep_for(std::chrono::seconds(6));
    EXPECT_FALSE(ShutdownRequested());
    EXPECT_TRUE(client->Running());
    EXPECT_EQ(1u, Count(Reports(), "Dry run: the system would shut down now"));
}

TEST_F(SavedInPlace, NegativeDelaysStillRuleOutTheShutdownOnALowBattery)
{
    StartSaving(-1, -1);
    server.SetOutput("Battery");
    server.SetBattery("Low");
    // Past the defaults that a torn file would give for the low battery.
    std::this_thread::sleep_for(std::chrono::seconds(35));
    EXPECT_FALSE(ShutdownRequested());
    EXPECT_TRUE(client->Running());
    for (const std::string& message : Messages())
        EXPECT_EQ(std::string::npos, message.find("shuting down now")) << message;
}

// The address emptied while the UPS is on battery and its server gone: the
// client keeps the last one, says so once, and the shutdown comes on time.
TEST_F(SavedInPlace, AnEmptiedAddressMidEpisodeKeepsTheLastOneAndTheShutdownComes)
{
    StartClient(5, 30);
    server.SetOutput("Battery");
    Clock::time_point warned = AwaitMessage(1);
    ASSERT_NE(Clock::time_point(), warned);
    server.SetFault(upssim::Fault::Refuse, true);
    server.CloseConnections();
    WriteSettings(5, 30, "");
    ASSERT_TRUE(AwaitShutdown(10000)) << client->Err();
    EXPECT_LE(Seconds(Clock::now() - warned), 6.5);
    const std::string kept = "The settings file " + env.AppDir() + "CVNRemote.ini names no Server Address: the "
                             "client keeps the settings it read last until the file can be read again.";
    EXPECT_EQ(1u, Count(Reports(), kept)) << Reports();
    EXPECT_EQ(std::string::npos, Reports().find("No server address specified")) << Reports();
    ProcessResult r = client->Wait(15000);
    EXPECT_EQ(0, r.exitCode);
}
#endif

}  // namespace

namespace {

// A computer with two power supplies, each fed by a UPS with its own server:
// [Settings] names the first simulator, [Server 2] the second.
class TwoUps : public Monitor {
protected:
    void SetUp() override
    {
        Monitor::SetUp();
        ASSERT_TRUE(second.Start());
    }
    void TearDown() override
    {
        second.Stop();
        Monitor::TearDown();
    }

    // The first server is awaited too unless it is not to answer.
    void StartBoth(int onDelay, int minimum, bool firstAnswers = true)
    {
        // The second section takes the user name and password of the first.
        extraSettings += "Minimum Supplies=" + std::to_string(minimum) + "\n[Server 2]\nServer Address=127.0.0.1\n" +
                         "Server Port=" + std::to_string(second.Port()) + "\n";
        WriteSettings(onDelay, 30);
        client = env.Start("CVNRemote", {"daemon"});
        ASSERT_TRUE(AwaitRead("Server 2", "GetValue(Battery Status)=")) << ReadText(env.AppDir() + "agtrace.log");
        if (firstAnswers) {
            ASSERT_TRUE(AwaitRead("Settings", "GetValue(Battery Status)=")) << ReadText(env.AppDir() + "agtrace.log");
        }
        // The read is traced just before it is posted to the monitor.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // Until the client has read a text from the server of a section. Only
    // once the answer on the battery is read is its UPS heard: a UPS not yet
    // heard counts as on battery once another is, so a change made before
    // that would be an outage of both.
    bool AwaitRead(const std::string& section, const std::string& text) const
    {
        const std::string read = "T3:[" + section + "] RECV:";
        return server.WaitFor(
            [&] {
                const std::string trace = ReadText(env.AppDir() + "agtrace.log");
                for (std::string::size_type at = trace.find(read); at != std::string::npos;
                     at = trace.find(read, at + 1)) {
                    const std::string line = trace.substr(at, trace.find('\n', at) - at);
                    if (line.find(text) != std::string::npos)
                        return true;
                }
                return false;
            },
            20000);
    }

    std::string Named(const std::string& report, const upssim::CServer& ups, const char* section) const
    {
        return report + " Server[" + section + ": 127.0.0.1 port " + std::to_string(ups.Port()) + "].";
    }

    upssim::CServer second;
};

// With one supply enough, the users hear nothing while either UPS has mains
// power; both on battery bring the countdown, one back cancels it, and a
// second outage ends in the shutdown. The reports name the UPS concerned.
TEST_F(TwoUps, TheUsersHearOfAnOutageOnlyWhenBothUpsesAreOnBattery)
{
    StartBoth(3, 1);
    server.SetOutput("Battery");
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(ShutdownRequested());

    second.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessage(1)) << client->Err();
    server.SetOutput("Line");
    ASSERT_NE(Clock::time_point(), AwaitMessage(2));
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kRestored}), Messages());

    server.SetOutput("Battery");
    const Clock::time_point warned = AwaitMessage(3);
    const Clock::time_point shutdown = AwaitMessage(4, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_GE(Seconds(shutdown - warned), 2.9);
    EXPECT_LE(Seconds(shutdown - warned), 4.5);
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kRestored, kOnBattery3, kShutdownNow}), Messages());
    EXPECT_TRUE(AwaitShutdown(10000));
    const std::string err = Lines(client->Err());
    const std::string::size_type first = err.find(Named(kOnBattery3, second, "Server 2"));
    const std::string::size_type restored = err.find(Named(kRestored, server, "Settings"));
    ASSERT_NE(std::string::npos, restored) << err;
    EXPECT_LT(first, restored) << err;
    EXPECT_NE(std::string::npos, err.find(Named(kOnBattery3, server, "Settings"), restored)) << err;
    // "Shutting down" is about the UPS whose change began the episode.
    EXPECT_NE(std::string::npos, err.find(Named(kShutdownNow, server, "Settings"))) << err;
    EXPECT_EQ(std::string::npos, err.find("\n" + std::string(kOnBattery3) + "\n")) << err;
}

// A UPS whose server is gone counts as it was last heard: on battery, so
// the other UPS's outage starts the countdown.
TEST_F(TwoUps, ALostUpsKeepsItsLastValues)
{
    StartBoth(3, 1);
    server.SetOutput("Battery");
    ASSERT_TRUE(AwaitRead("Settings", "Output Source={{Battery}}")) << ReadText(env.AppDir() + "agtrace.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.SetFault(upssim::Fault::Refuse, true);
    server.CloseConnections();
    ASSERT_TRUE(AwaitReport(Named("Connection to server lost!  Its UPS keeps the values last heard until the client "
                                  "reconnects.", server, "Settings"))) << client->Err();
    EXPECT_TRUE(Messages().empty());

    second.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessage(2, 10000)) << client->Err();
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
    EXPECT_TRUE(AwaitShutdown(10000));
}

// With both supplies needed (a minimum above the number of servers counts as
// that number, with a warning), one UPS on battery starts the countdown, and
// a server that never greets (its session waits 10 s for it) holds up
// neither that countdown nor the shutdown.
TEST_F(TwoUps, WithBothNeededOneOutageShutsDownOnTimeWhateverTheOtherServerDoes)
{
    server.SetFault(upssim::Fault::Silent, true);
    StartBoth(3, 3, false);
    ASSERT_TRUE(server.WaitForConnections(1, 1000));
    const Clock::time_point failed = Clock::now();
    second.SetOutput("Battery");
    const Clock::time_point warned = AwaitMessage(1);
    const Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_LE(Seconds(warned - failed), 1.0);
    EXPECT_GE(Seconds(shutdown - warned), 2.9);
    EXPECT_LE(Seconds(shutdown - warned), 4.0);
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
    EXPECT_TRUE(AwaitShutdown(10000));
    EXPECT_NE(std::string::npos, Lines(client->Err()).find("\nMinimum Supplies is 3, but only 2 servers are set: "
                                                           "the computer runs only while all 2 UPSes have power.\n"))
        << client->Err();
    EXPECT_FALSE(server.Connection(1).loggedIn);
}

// A [Server 2] whose address is commented out is ignored: it takes neither
// the address nor the port of the [Server 3] below it, so the second UPS
// counts once, and with both needed the first one's outage brings the
// shutdown on time.
TEST_F(TwoUps, ASectionWithoutItsAddressIsIgnoredAndBorrowsNothing)
{
    extraSettings += "Minimum Supplies=2\n[Server 2]\n#Server Address=127.0.0.1\n[Server 3]\n"
                     "Server Address=127.0.0.1\nServer Port=" +
                     std::to_string(second.Port()) + "\n";
    WriteSettings(3, 30);
    client = env.Start("CVNRemote", {"daemon"});
    ASSERT_TRUE(second.WaitForText(1, "GetValue(Battery Status)\r\n", 20000)) << client->Err();
    ASSERT_TRUE(server.WaitForText(1, "GetValue(Battery Status)\r\n", 20000)) << client->Err();
    server.SetOutput("Battery");
    const Clock::time_point warned = AwaitMessage(1);
    const Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_GE(Seconds(shutdown - warned), 2.5);
    EXPECT_LE(Seconds(shutdown - warned), 4.5);
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
    EXPECT_EQ(1u, second.Connections().size());
}

// A UPS whose server is never reached counts as on mains while every UPS
// heard from is, and as on battery once one is: with one supply enough, the
// other UPS's outage brings the countdown and the shutdown on time. The UPS
// not heard from is reported once, after its first failed attempt.
TEST_F(TwoUps, AServerNeverReachedCountsOnMainsUntilTheOtherUpsIsOnBattery)
{
    server.SetFault(upssim::Fault::Refuse, true);
    StartBoth(3, 1, false);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(Messages().empty());
    second.SetOutput("Battery");
    const Clock::time_point warned = AwaitMessage(1);
    const Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_GE(Seconds(shutdown - warned), 2.5);
    EXPECT_LE(Seconds(shutdown - warned), 4.5);
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
    EXPECT_TRUE(AwaitShutdown(10000));
    const std::string err = Lines(client->Err());
    EXPECT_EQ(1u, Count(err, "No value has been heard from the UPS of Settings: 127.0.0.1 port " +
                                 std::to_string(server.Port()) + " yet."))
        << err;
}

#if !defined(_WIN32)
// The first server's name never resolves (its name server lost its
// upstream): the second server, a name of two addresses whose first refuses,
// has its session at once all the same, and its outage brings the countdown
// and the shutdown on time.
TEST_F(TwoUps, AHungLookUpOfOneServerHoldsUpNeitherTheOtherSessionNorTheShutdown)
{
    const RunOptions slow = SlowResolver(120000);
    extraSettings += "Minimum Supplies=2\n[Server 2]\nServer Address=ups.two.test\nServer Port=" +
                     std::to_string(second.Port()) + "\n";
    WriteSettings(3, 30, "ups.slow.test");
    const Clock::time_point start = Clock::now();
    client = env.Start("CVNRemote", {"daemon"}, slow);
    ASSERT_TRUE(second.WaitForText(1, "GetValue(Battery Status)\r\n", 5000)) << client->Err();
    EXPECT_LE(Seconds(Clock::now() - start), 3.0);
    second.SetOutput("Battery");
    const Clock::time_point warned = AwaitMessage(1, 5000);
    const Clock::time_point shutdown = AwaitMessage(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown) << client->Err();
    EXPECT_LE(Seconds(shutdown - warned), 4.0);
    EXPECT_EQ((std::vector<std::string>{kOnBattery3, kShutdownNow}), Messages());
    EXPECT_TRUE(AwaitShutdown(10000));
    EXPECT_TRUE(server.Connections().empty());
    // The trace shows both addresses of the second server's name.
    const std::string port = std::to_string(second.Port());
    EXPECT_NE(std::string::npos, ReadText(env.AppDir() + "agtrace.log")
                                     .find("CONNECT:[::1]:" + port + "\nT3:[Server 2] CONNECT:127.0.0.1:" + port))
        << ReadText(env.AppDir() + "agtrace.log");
}
#endif

}  // namespace
