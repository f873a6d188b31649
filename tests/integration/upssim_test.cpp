// The UPS server simulator on its own: its scenario language, the protocol
// as a bare client meets it, the misbehaviours that the session tests do not
// already show, and the program as a user starts it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/capture.h"
#include "support/process.h"
#include "upssim/server.h"

using namespace upssim;
using namespace cvntest;

namespace {

typedef std::chrono::steady_clock Clock;

long MsSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A client that speaks the protocol by hand, byte for byte.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) : m_socket(net::ConnectLoopback(port)) {}
    ~RawClient() { net::Close(m_socket); }

    bool Connected() const { return m_socket != net::kInvalid; }
    bool Closed() const { return m_bClosed; }
    net::Socket Socket() const { return m_socket; }

    void Send(const std::string& bytes) { net::Send(m_socket, bytes.data(), bytes.size()); }

    // What one receive delivers within timeoutMs; empty when nothing came.
    std::string ReadOnce(long timeoutMs)
    {
        std::vector<bool> ready;
        if (m_bClosed || !net::WaitReadable({m_socket}, timeoutMs, &ready) || !ready[0])
            return "";
        char buffer[4096];
        long n = net::Recv(m_socket, buffer, sizeof buffer);
        if (n <= 0) {
            m_bClosed = true;
            return "";
        }
        return std::string(buffer, static_cast<std::size_t>(n));
    }

    // Everything that arrives until it holds text, or the time passes.
    std::string ReadUntil(const std::string& text, long timeoutMs)
    {
        std::string all;
        Clock::time_point start = Clock::now();
        while (all.find(text) == std::string::npos && !m_bClosed && MsSince(start) < timeoutMs)
            all += ReadOnce(timeoutMs - MsSince(start));
        return all;
    }

    bool WaitClosed(long timeoutMs)
    {
        ReadUntil(std::string(1, '\xff') + "never", timeoutMs);
        return m_bClosed;
    }

    // Greeting, login and subscription; the answers are read.
    void Subscribe(const std::string& credentials = "admin, vorak")
    {
        ReadUntil("successfully connected\r\n", 5000);
        Send("Login(" + credentials + ")\r\n");
        ReadUntil(")=0\r\n", 5000);
        Send("SetAutoUpdate(1)\r\n");
        ReadUntil("SetAutoUpdate(1)=0\r\n", 5000);
    }

private:
    net::Socket m_socket;
    bool m_bClosed = false;
};

class Simulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
    }

    bool EventSeen(const std::string& text)
    {
        for (const std::string& e : server.Events()) {
            if (e.find(text) != std::string::npos)
                return true;
        }
        return false;
    }

    CServer server;
};

std::vector<Step> Steps(const std::string& text)
{
    std::vector<Step> steps;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, &steps, &error)) << error;
    return steps;
}

}  // namespace

// ---- the scenario language ----

TEST(ScenarioParser, DurationsTakeSecondsMillisecondsAndFractions)
{
    long ms = -1;
    EXPECT_TRUE(ParseDuration("2s", &ms));
    EXPECT_EQ(2000, ms);
    EXPECT_TRUE(ParseDuration("1.5s", &ms));
    EXPECT_EQ(1500, ms);
    EXPECT_TRUE(ParseDuration("0.025S", &ms));
    EXPECT_EQ(25, ms);
    EXPECT_TRUE(ParseDuration("500ms", &ms));
    EXPECT_EQ(500, ms);
    EXPECT_TRUE(ParseDuration("3", &ms));
    EXPECT_EQ(3000, ms);
    EXPECT_TRUE(ParseDuration("0s", &ms));
    EXPECT_EQ(0, ms);
    EXPECT_TRUE(ParseDuration("86400s", &ms));
    EXPECT_EQ(86400000, ms);
    // Beyond a day, also where seconds times 1000 no longer fit into 32 bits.
    for (const char* bad : {"", "s", "ms", "-1s", "1.s", "1.2345s", "1.5ms", "2h", "1 s", "99999999s",
                            "86401s", "2147484s", "4294968s", "123456789012345678901234567890"})
        EXPECT_FALSE(ParseDuration(bad, &ms)) << bad;
}

TEST(ScenarioParser, ReadsEveryKindOfStep)
{
    std::vector<Step> steps = Steps(
        "# the demonstration\n"
        "\n"
        "wait session\r\n"
        "  at 2s output Battery  \n"
        "AT 5s BATTERY Low charge\n"
        "at 6s fault split-lines\n"
        "at 6.5s fault split-lines off\n"
        "at 7s send \"junk\\0\\r\\n\"\n"
        "at 8s urgent\n"
        "at 9s delay 250ms\n"
        "at 12s close\n"
        "at 15s stop\n");
    ASSERT_EQ(10u, steps.size());
    EXPECT_EQ(Action::WaitSession, steps[0].action);
    EXPECT_EQ(Action::Output, steps[1].action);
    EXPECT_EQ(2000, steps[1].atMs);
    EXPECT_EQ("Battery", steps[1].text);
    EXPECT_EQ("at 2s output Battery", steps[1].source);
    EXPECT_EQ(Action::Battery, steps[2].action);
    EXPECT_EQ("Low charge", steps[2].text);  // values keep their letters and inner blanks
    EXPECT_EQ(Action::SetFault, steps[3].action);
    EXPECT_EQ(Fault::SplitLines, steps[3].fault);
    EXPECT_TRUE(steps[3].on);
    EXPECT_FALSE(steps[4].on);
    EXPECT_EQ(Action::Send, steps[5].action);
    EXPECT_EQ(std::string("junk\0\r\n", 7), steps[5].text);
    EXPECT_EQ(Action::Urgent, steps[6].action);
    EXPECT_EQ(Action::Delay, steps[7].action);
    EXPECT_EQ(250, steps[7].delayMs);
    EXPECT_EQ(Action::Close, steps[8].action);
    EXPECT_EQ(Action::Stop, steps[9].action);
    EXPECT_EQ(15000, steps[9].atMs);
}

TEST(ScenarioParser, TextsTakeQuotesAndEscapes)
{
    std::vector<Step> steps = Steps(
        "at 0s battery \"\"\n"
        "at 0s output \"  Battery \\\"A\\\" \"\n"
        "at 0s send Output Source={{Bat\\x74ery}}\\r\\n\n");
    ASSERT_EQ(3u, steps.size());
    EXPECT_EQ("", steps[0].text);
    EXPECT_EQ("  Battery \"A\" ", steps[1].text);
    EXPECT_EQ("Output Source={{Battery}}\r\n", steps[2].text);
}

TEST(ScenarioParser, RejectsBadStepsNamingTheLine)
{
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"at 1s output Battery\nat 2s explode\n", "line 2: unknown action \"explode\""},
        {"\n\nat 1s fault gremlins\n", "line 3: unknown fault \"gremlins\""},
        {"at soon output Battery", "line 1: bad time \"soon\""},
        {"at 1s output", "line 1: \"output\" needs a value"},
        {"at 1s", "line 1: missing action"},
        {"wait a minute", "line 1: \"wait\" takes \"session\""},
        {"output Battery", "line 1: a step begins with"},
        {"at 1s send \"open", "line 1: missing closing quote"},
        {"at 1s send \"a\" b", "line 1: text after the closing quote"},
        {"at 1s send bad\\q", "line 1: bad escape"},
        {"at 1s send \\x4", "line 1: bad escape"},
        {"at 1s close now", "line 1: \"close\" takes nothing more"},
        {"at 1s delay a while", "line 1: bad delay \"a while\""},
        {"at 1s fault junk maybe", "line 1: a fault is switched \"on\" or \"off\""},
        {"at 2s close\nat 1s stop", "line 2: steps go back in time"},
    };
    for (const Case& c : cases) {
        std::vector<Step> steps;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, &steps, &error)) << c.text;
        EXPECT_EQ(0u, error.find(c.error)) << c.text << " gave: " << error;
        EXPECT_TRUE(steps.empty()) << "nothing of a bad scenario is kept";
    }
}

TEST(ScenarioParser, AWaitStartsTheClockAfresh)
{
    std::vector<Step> steps;
    std::string error;
    EXPECT_TRUE(ParseScenario("at 5s output Battery\nwait session\nat 1s output Line\n", &steps, &error))
        << error;
    Step late;
    ASSERT_TRUE(ParseStep("at 0.5s close", &late, &error));
    EXPECT_FALSE(AppendStep(&steps, late, &error)) << "a step after the last one goes back in time";
}

TEST(ScenarioParser, EveryFaultNameReadsBack)
{
    for (int i = 0; i < static_cast<int>(Fault::Count); ++i) {
        Fault fault = Fault::Count;
        EXPECT_TRUE(FaultFromName(FaultName(static_cast<Fault>(i)), &fault)) << i;
        EXPECT_EQ(i, static_cast<int>(fault));
    }
    EXPECT_NE(std::string::npos, FaultNames().find("stall-connect"));
}

TEST(ScenarioParser, QuoteShowsBytesReadablyAndCutsLongOnes)
{
    EXPECT_EQ("\"a\\r\\n\\0\\x01\\xFF\\\"\"", Quote(std::string("a\r\n\0\x01\xff\"", 7)));
    EXPECT_EQ("\"ab\"... (5 bytes)", Quote("abcde", 2));
}

TEST(ScenarioParser, TheExampleScenarioIsValid)
{
    std::string text = ReadFile(UPSSIM_EXAMPLE_SCENARIO);
    ASSERT_FALSE(text.empty());
    std::vector<Step> steps = Steps(text);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(Action::Stop, steps.back().action) << "the example ends by itself";
}

// ---- the protocol ----

TEST_F(Simulator, GreetsChecksTheLoginAndAnswersQueriesWithTheValues)
{
    RawClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    EXPECT_NE(std::string::npos, client.ReadUntil("\r\n", 5000).find("successfully connected\r\n"));

    client.Send("GetValue(Output Source)\r\n");
    EXPECT_EQ("GetValue(Output Source)=1\r\n", client.ReadUntil("\r\n", 5000))
        << "no values before the login";
    client.Send("Login(admin, wrong)\r\n");
    EXPECT_EQ("Login(admin, wrong)=1\r\n", client.ReadUntil("\r\n", 5000));
    client.Send("SetAutoUpdate(1)\r\n");
    EXPECT_EQ("SetAutoUpdate(1)=1\r\n", client.ReadUntil("\r\n", 5000));
    client.Send("Login(admin, vorak)\r\n");
    EXPECT_EQ("Login(admin, vorak)=0\r\n", client.ReadUntil("\r\n", 5000));
    client.Send("GetValue(Output Source)\r\nGetValue(Battery Status)\r\nGetValue(Load)\r\nReboot()\r\n");
    EXPECT_EQ("GetValue(Output Source)=0,{{Line}}\r\nGetValue(Battery Status)=0,{{OK}}\r\n"
              "GetValue(Load)=1\r\nReboot()=1\r\n",
              client.ReadUntil("Reboot()=1\r\n", 5000));
    ConnectionInfo info = server.Connection(1);
    EXPECT_TRUE(info.loggedIn);
    EXPECT_FALSE(info.subscribed);
}

TEST_F(Simulator, SendsUpdatesOnlyOnChangeAndOnlyToSubscribers)
{
    RawClient subscriber(server.Port());
    RawClient other(server.Port());
    subscriber.Subscribe();
    other.ReadUntil("successfully connected\r\n", 5000);
    other.Send("Login(admin, vorak)\r\n");
    other.ReadUntil("=0\r\n", 5000);

    server.SetOutput("Battery");
    EXPECT_EQ("Output Source={{Battery}}\r\n", subscriber.ReadUntil("\r\n", 5000));
    server.SetOutput("Battery");
    server.SetBattery("Low");
    EXPECT_EQ("Battery Status={{Low}}\r\n", subscriber.ReadUntil("\r\n", 5000))
        << "an unchanged value sends nothing";
    EXPECT_EQ("", other.ReadOnce(300)) << "no updates without a subscription";

    subscriber.Send("SetAutoUpdate(0)\r\n");
    EXPECT_EQ("SetAutoUpdate(0)=0\r\n", subscriber.ReadUntil("\r\n", 5000));
    server.SetOutput("Line");
    EXPECT_EQ("", subscriber.ReadOnce(300));
    subscriber.Send("GetValue(Output Source)\r\n");
    EXPECT_EQ("GetValue(Output Source)=0,{{Line}}\r\n", subscriber.ReadUntil("\r\n", 5000));
}

TEST_F(Simulator, RecordsEveryClientByteWithTimeAndConnection)
{
    RawClient first(server.Port());
    first.ReadUntil("\r\n", 5000);
    first.Send("Login(admin, vo");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    first.Send(std::string("rak)\r\n\0junk", 11));
    ASSERT_TRUE(server.WaitForText(1, "junk", 5000));
    RawClient second(server.Port());
    second.Send("GetValue(Output Source)\r\n");
    ASSERT_TRUE(server.WaitForText(2, "\r\n", 5000));

    std::vector<Received> chunks = server.ReceivedChunks();
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(1, chunks[0].connection);
    EXPECT_EQ("Login(admin, vo", chunks[0].bytes);
    EXPECT_GE(chunks[1].ms - chunks[0].ms, 150) << "each receive keeps its own time";
    EXPECT_EQ(std::string("Login(admin, vorak)\r\n\0junk", 26), server.ReceivedText(1));
    EXPECT_EQ("GetValue(Output Source)\r\n", server.ReceivedText(2));
    EXPECT_TRUE(server.Connection(1).loggedIn) << "a line split across sends is still one line";

    net::Close(second.Socket());
    EXPECT_TRUE(server.WaitClosedByClient(2, 5000));
    EXPECT_FALSE(server.Connection(1).closedByClient);
}

// ---- scenarios ----

TEST_F(Simulator, PlaysStepsAtTheirTimes)
{
    RawClient client(server.Port());
    client.Subscribe();
    Clock::time_point start = Clock::now();
    server.Play(Steps("at 0.3s output Battery\nat 0.6s battery Low\nat 0.9s close\n"));

    EXPECT_EQ("Output Source={{Battery}}\r\n", client.ReadUntil("\r\n", 5000));
    EXPECT_GE(MsSince(start), 290);
    EXPECT_EQ("Battery Status={{Low}}\r\n", client.ReadUntil("\r\n", 5000));
    EXPECT_GE(MsSince(start), 590);
    EXPECT_TRUE(client.WaitClosed(5000));
    EXPECT_GE(MsSince(start), 890);
    EXPECT_TRUE(server.ScenarioDone());
    EXPECT_TRUE(EventSeen("step: at 0.6s battery Low"));
    EXPECT_TRUE(EventSeen("#1 closed by the simulator (close step)"));
    EXPECT_FALSE(server.Stopped()) << "close ends the sessions, not the server";
    RawClient again(server.Port());
    EXPECT_NE(std::string::npos, again.ReadUntil("\r\n", 5000).find("successfully connected"));
}

TEST_F(Simulator, AWaitForASessionHoldsTheClockUntilASubscription)
{
    server.Play(Steps("wait session\nat 0.2s output Battery\nat 0.2s stop\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ("Line", server.Output()) << "the clock has not started";

    RawClient client(server.Port());
    client.Subscribe();
    Clock::time_point subscribed = Clock::now();
    EXPECT_EQ("Output Source={{Battery}}\r\n", client.ReadUntil("\r\n", 5000));
    EXPECT_GE(MsSince(subscribed), 150);
    EXPECT_TRUE(server.WaitFor([&] { return server.Stopped(); }, 5000));
    EXPECT_TRUE(client.WaitClosed(5000));
    RawClient late(server.Port());
    EXPECT_FALSE(late.Connected()) << "a stopped simulator listens no more";
}

TEST_F(Simulator, SendAndUrgentStepsReachEveryClient)
{
    RawClient client(server.Port());
    client.Subscribe();
    server.Play(Steps("at 0s send \"Battery Status={{\\r\\n\"\nat 0.2s urgent\n"));
    EXPECT_EQ("Battery Status={{\r\n", client.ReadUntil("\r\n", 5000));
    ASSERT_TRUE(server.WaitFor([&] { return EventSeen("sent one byte of out-of-band data"); }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    char byte = 0;
    EXPECT_EQ(1, net::RecvUrgent(client.Socket(), &byte));
    EXPECT_EQ('!', byte);
}

// ---- misbehaviour on demand ----

TEST_F(Simulator, SplitLinesCutValueLinesThreeCharactersIntoTheValue)
{
    RawClient client(server.Port());
    client.Subscribe();
    server.SetFault(Fault::SplitLines, true);
    server.SetOutput("Battery");
    EXPECT_EQ("Output Source={{Bat", client.ReadOnce(5000));
    EXPECT_EQ("tery}}\r\n", client.ReadOnce(5000));
    client.Send("SetAutoUpdate(1)\r\n");
    EXPECT_EQ("SetAutoUpdate(1)=0\r\n", client.ReadOnce(5000)) << "answers without a value stay whole";
}

TEST_F(Simulator, JunkWithNulBytesFollowsEachLineInTheSameSend)
{
    RawClient client(server.Port());
    client.Subscribe();
    server.SetFault(Fault::Junk, true);
    server.SetBattery("Low");
    std::string got = client.ReadUntil("]\r\n", 5000);
    EXPECT_EQ(0u, got.find("Battery Status={{Low}}\r\n\x1b[junk"));
    EXPECT_NE(std::string::npos, got.find('\0'));
}

TEST_F(Simulator, LongLinesPrecedeEachLine)
{
    RawClient client(server.Port());
    client.Subscribe();
    server.SetFault(Fault::LongLines, true);
    server.SetOutput("Battery");
    std::string got = client.ReadUntil("}}\r\n", 5000);
    EXPECT_EQ(std::string(1500, '#') + "\r\nOutput Source={{Battery}}\r\n", got);
}

TEST_F(Simulator, ADelayHoldsBackEveryLineKeepingTheirOrder)
{
    RawClient client(server.Port());
    client.Subscribe();
    server.Play(Steps("at 0s delay 400ms\n"));
    ASSERT_TRUE(server.WaitFor([&] { return server.ScenarioDone(); }, 5000));
    Clock::time_point start = Clock::now();
    client.Send("GetValue(Output Source)\r\n");
    ASSERT_TRUE(server.WaitForText(1, "GetValue(Output Source)\r\n", 5000));
    server.SetOutput("Battery");
    EXPECT_EQ("GetValue(Output Source)=0,{{Line}}\r\nOutput Source={{Battery}}\r\n",
              client.ReadUntil("Output Source={{Battery}}\r\n", 5000));
    EXPECT_GE(MsSince(start), 390);
    server.SetDelay(0);
    start = Clock::now();
    server.SetOutput("Line");
    EXPECT_EQ("Output Source={{Line}}\r\n", client.ReadUntil("\r\n", 5000));
    EXPECT_LT(MsSince(start), 390);
}

TEST_F(Simulator, QueriesCanBeAnsweredWithResultOne)
{
    RawClient client(server.Port());
    client.Subscribe();
    server.SetFault(Fault::QueryResult1, true);
    client.Send("GetValue(Battery Status)\r\n");
    EXPECT_EQ("GetValue(Battery Status)=1\r\n", client.ReadUntil("\r\n", 5000));
}

TEST_F(Simulator, NoGreetingStillAnswersWhileSilentAnswersNothing)
{
    server.SetFault(Fault::NoGreeting, true);
    RawClient ungreeted(server.Port());
    EXPECT_EQ("", ungreeted.ReadOnce(300));
    ungreeted.Send("Login(admin, vorak)\r\n");
    EXPECT_EQ("Login(admin, vorak)=0\r\n", ungreeted.ReadUntil("\r\n", 5000));

    server.SetFault(Fault::Silent, true);
    RawClient ignored(server.Port());
    ignored.Send("Login(admin, vorak)\r\n");
    ASSERT_TRUE(server.WaitForText(2, "\r\n", 5000));
    EXPECT_EQ("", ignored.ReadOnce(300));
    server.SetOutput("Battery");
    EXPECT_EQ("", ignored.ReadOnce(300));
    EXPECT_FALSE(ignored.Closed());
}

TEST_F(Simulator, RefusingConnectionsIsSwitchedOffAndOnOnTheSamePort)
{
    std::uint16_t port = server.Port();
    // The simulator closes first, which leaves its side of the connection
    // waiting on the listening port.
    server.SetFault(Fault::CloseAtAccept, true);
    {
        RawClient closed(port);
        EXPECT_TRUE(closed.WaitClosed(5000));
    }
    server.SetFault(Fault::CloseAtAccept, false);
    server.SetFault(Fault::Refuse, true);
    RawClient refused(port);
    EXPECT_FALSE(refused.Connected());
    server.SetFault(Fault::Refuse, false);
    RawClient accepted(port);
    ASSERT_TRUE(accepted.Connected());
    EXPECT_NE(std::string::npos, accepted.ReadUntil("\r\n", 5000).find("successfully connected"));
    EXPECT_EQ(port, server.Port());
}

TEST_F(Simulator, StalledConnectsHangUntilTheStallEnds)
{
    server.SetFault(Fault::StallConnect, true);
    net::Socket pending = net::ConnectLoopbackPending(server.Port());
    ASSERT_NE(net::kInvalid, pending);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(server.Connections().empty()) << "nothing is accepted while stalled";
    server.SetFault(Fault::StallConnect, false);
    // The client's system tries again after a second and then meets a listener.
    EXPECT_TRUE(server.WaitForConnections(1, 10000));
    net::Close(pending);
}

TEST(SimulatorStart, ABusyPortFailsWithAReason)
{
    CServer first;
    ASSERT_TRUE(first.Start());
    Options options;
    options.port = first.Port();
    CServer second(options);
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_NE(std::string::npos, error.find("cannot listen on 127.0.0.1:" + std::to_string(options.port)));
}

// ---- the program ----

TEST(SimulatorProgram, PlaysAScenarioFileShowingEachStepAndEndsOnStop)
{
    TempDir dir;
    std::string path = dir.File("short.scenario");
    WriteFile(path, "# short\nat 0.2s output Battery\nat 0.4s battery Low\nat 0.6s stop\n");
    ProcessResult r = RunProgram({BinPath("upssim"), "--port", "0", "-f", "junk", path}, 30000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(0, r.exitCode) << r.err;
    for (const char* line : {"] listening on 127.0.0.1:", "] fault junk on", "] step: at 0.2s output Battery",
                             "] output source: \"Line\" -> \"Battery\"", "] step: at 0.4s battery Low",
                             "] step: at 0.6s stop", "] scenario ends: the simulator stops"})
        EXPECT_NE(std::string::npos, r.out.find(line)) << line << "\n" << r.out;
}

// A dual-supply computer's two UPSes: each plays its own scenario on its own
// port, its lines tagged with its number, and the program ends when both have
// stopped.
TEST(SimulatorProgram, ServesSeveralUpsesEachWithItsOwnScenario)
{
    TempDir dir;
    WriteFile(dir.File("a.scenario"), "at 0.2s output Battery\nat 0.3s stop\n");
    WriteFile(dir.File("b.scenario"), "at 0.5s battery Low\nat 0.6s stop\n");
    ProcessResult r = RunProgram({BinPath("upssim"), "-U", "0:" + dir.File("a.scenario"), "--ups",
                                  "0:" + dir.File("b.scenario")}, 30000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(0, r.exitCode) << r.err;
    for (const char* line : {"ups 1: [", "ups 2: [", "] output source: \"Line\" -> \"Battery\"",
                             "] battery status: \"OK\" -> \"Low\""})
        EXPECT_NE(std::string::npos, r.out.find(line)) << line << "\n" << r.out;
    EXPECT_EQ(1u, Count(r.out, "output source:")) << r.out;
    EXPECT_EQ(2u, Count(r.out, "scenario ends: the simulator stops")) << r.out;
    const std::string::size_type low = r.out.find("battery status:");
    ASSERT_NE(std::string::npos, low);
    EXPECT_EQ(0u, r.out.compare(r.out.rfind('\n', low) + 1, 7, "ups 2: ")) << r.out;

    r = RunProgram({BinPath("upssim"), "-p", "0", "-U", "0"}, 30000);
    EXPECT_EQ(2, r.exitCode);
}

TEST(SimulatorProgram, RejectsABadScenarioNamingTheLine)
{
    TempDir dir;
    std::string path = dir.File("bad.scenario");
    WriteFile(path, "at 1s output Battery\nat 2s dance\n");
    ProcessResult r = RunProgram({BinPath("upssim"), "-p", "0", path}, 30000);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("line 2: unknown action \"dance\"")) << r.err;
    r = RunProgram({BinPath("upssim"), "-p", "0", "-f", "gremlins"}, 30000);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("unknown fault \"gremlins\"")) << r.err;
}
