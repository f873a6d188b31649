// The session with the UPS server, made by the application object against
// the simulator on loopback, through the real socket calls: what goes over
// the wire, what the trace and standard error show, and what is left of a
// failed attempt.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <qmx/debug.h>

#include "app.h"
#include "net.h"
#include "resolver.h"
#include "stop_request.h"
#include "sync.h"
#include "ups_session.h"
#include "support/capture.h"
#include "upssim/server.h"

using namespace cvntest;
using qmx::CDebug;
using upssim::CServer;
using upssim::Fault;

namespace {

typedef std::chrono::steady_clock Clock;

const char kLoginRefused[] = "Login failed!  Please check username and password.";

long MsSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Everything that arrives on the socket until it holds text, or 5 s pass.
std::string ReadUntil(int socket, const std::string& text)
{
    std::string all;
    Clock::time_point start = Clock::now();
    while (all.find(text) == std::string::npos && MsSince(start) < 5000) {
        if (cvn::NetWaitReadable(socket, 200) <= 0)
            continue;
        char buffer[512];
        int n = cvn::NetReceive(socket, buffer, sizeof buffer);
        if (n <= 0)
            break;
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start());
        ini = dir.File("CVNRemote.ini");
        WriteSettings("127.0.0.1", sim.Port());
        std::vector<std::string> args = {"CVNRemote", "daemon", "-c", ini};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        app.reset(new CCVNRemoteApp(static_cast<int>(argv.size()), argv.data()));
        ASSERT_EQ("", app->m_strInitError);
        CDebug::SetTraceLevel(CDebug::TraceDetail);
        CDebug::SetDefaultOutput(std::fopen(dir.File("trace.log").c_str(), "wb"));
    }

    void TearDown() override
    {
        CDebug::SetDefaultOutput(nullptr);
        app.reset();
    }

    // The settings file with the server; user name and password only when given.
    void WriteSettings(const std::string& address, long port, const char* user = nullptr,
                       const char* password = nullptr)
    {
        std::string text = "[Settings]\r\nServer Address=" + address +
                           "\r\nServer Port=" + std::to_string(port) + "\r\n";
        if (user)
            text += "Username=" + std::string(user) + "\r\n";
        if (password)
            text += "Password=" + std::string(password) + "\r\n";
        WriteFile(ini, text);
    }

    // Ends the trace and returns what it holds.
    std::string Trace()
    {
        CDebug::SetDefaultOutput(nullptr);
        return ReadFile(dir.File("trace.log"));
    }

    // A made session is handed over open; the test closes it.
    int Connect(unsigned long budgetMs = 0)
    {
        StderrCapture err;
        int socket = budgetMs ? app->ConnectToServer(budgetMs) : app->ConnectToServer();
        reported = err.Finish();
        return socket;
    }

    TempDir dir;
    std::string ini;
    CServer sim;
    std::unique_ptr<CCVNRemoteApp> app;
    std::string reported;  // standard error of the last Connect
};

#if !defined(_WIN32)
// The lowest free descriptor is the next one a socket gets: a socket that a
// failed attempt did not close would take it. Windows hands out handles in
// no such order, so there the simulator's view must do.
int NextDescriptor()
{
    int probe = cvn::NetOpenStream();
    cvn::NetClose(probe);
    return probe;
}
#endif

}  // namespace

TEST_F(Session, LogsInSubscribesAndAsksBothValuesByteForByteLeavingTheAnswersUnread)
{
    int socket = Connect();
    ASSERT_NE(-1, socket);
    ASSERT_TRUE(sim.WaitForText(1, "GetValue(Battery Status)\r\n", 5000));
    EXPECT_EQ("Login(admin, vorak)\r\nSetAutoUpdate(1)\r\nGetValue(Output Source)\r\n"
              "GetValue(Battery Status)\r\n",
              sim.ReceivedText(1));
    EXPECT_EQ("GetValue(Output Source)=0,{{Line}}\r\nGetValue(Battery Status)=0,{{OK}}\r\n",
              ReadUntil(socket, "{{OK}}\r\n"))
        << "the answers to the queries are the monitor's to read";
    EXPECT_TRUE(sim.Connection(1).open);
    EXPECT_EQ(1u, sim.Connections().size());
    EXPECT_EQ("", reported);
    const std::string at = "127.0.0.1:" + std::to_string(sim.Port()) + "\n";
    EXPECT_EQ("T3:CONNECT:" + at + "T3:CONNECTED:" + at +
              "T3:SEND:Login(admin, ****)\r\n\n"
              "T3:SEND:SetAutoUpdate(1)\n"
              "T3:SEND:GetValue(Output Source)\n"
              "T3:SEND:GetValue(Battery Status)\n",
              Trace());
    cvn::NetClose(socket);
    EXPECT_TRUE(sim.WaitClosedByClient(1, 5000));
}

TEST_F(Session, CredentialsBeyondTheOldLineBufferGoOutWholeWithThePasswordHidden)
{
    // 60 + 40 characters: more than the 86 that once fitted the line.
    std::string user(60, 'u'), password(39, 'p');
    password += "%s";
    sim.SetCredentials(user, password);
    WriteSettings("127.0.0.1", sim.Port(), user.c_str(), password.c_str());
    int socket = Connect();
    ASSERT_NE(-1, socket);
    ASSERT_TRUE(sim.WaitForText(1, "GetValue(Battery Status)\r\n", 5000));
    EXPECT_EQ(0u, sim.ReceivedText(1).find("Login(" + user + ", " + password + ")\r\nSetAutoUpdate(1)\r\n"));
    std::string trace = Trace();
    EXPECT_NE(std::string::npos, trace.find("\nT3:SEND:Login(" + user + ", ****)\r\n\n")) << trace;
    EXPECT_EQ(std::string::npos, trace.find(password.substr(0, 10)));
    cvn::NetClose(socket);
}

TEST_F(Session, AnEmptyPasswordLeavesNothingAfterTheComma)
{
    sim.SetCredentials("admin", "");
    WriteSettings("127.0.0.1", sim.Port(), nullptr, "");
    int socket = Connect();
    ASSERT_NE(-1, socket);
    ASSERT_TRUE(sim.WaitForText(1, "SetAutoUpdate(1)\r\n", 5000));
    EXPECT_EQ(0u, sim.ReceivedText(1).find("Login(admin, )\r\n"));
    cvn::NetClose(socket);
}

TEST_F(Session, CredentialsTooLongForOneReceiveAreSentWholeAndTheLoginFails)
{
    // The answer would be longer than the one receive of 200 bytes that is
    // searched, so it can never be found: refused, but nothing cut or overrun.
    std::string user(180, 'u'), password(20, 'p');
    sim.SetCredentials(user, password);
    WriteSettings("127.0.0.1", sim.Port(), user.c_str(), password.c_str());
    EXPECT_EQ(-1, Connect());
    EXPECT_NE(std::string::npos, reported.find(kLoginRefused));
    EXPECT_TRUE(sim.WaitClosedByClient(1, 5000));
    EXPECT_EQ("Login(" + user + ", " + password + ")\r\n", sim.ReceivedText(1));
}

TEST_F(Session, AGreetingIsFoundAmongOtherTextJunkAndNulBytes)
{
    CServer odd([] {
        upssim::Options o;
        o.greeting = std::string("\x01\x7f junk\0 UPS ready, successfully connected. Welcome!\r\n", 53);
        return o;
    }());
    ASSERT_TRUE(odd.Start());
    odd.SetFault(Fault::Junk, true);
    WriteSettings("127.0.0.1", odd.Port());
    int socket = Connect();
    EXPECT_NE(-1, socket);
    EXPECT_EQ("", reported);
    if (socket != -1)
        cvn::NetClose(socket);
}

TEST_F(Session, OutOfBandDataDuringTheLoginDoesNotDisturbIt)
{
    sim.SetFault(Fault::Urgent, true);
    int socket = Connect(5000);
    EXPECT_NE(-1, socket);
    if (socket != -1)
        cvn::NetClose(socket);
}

// Each failure of an attempt: -1, the socket closed (the simulator sees the
// close where its side was still open), a report only for a refused login,
// and the next attempt is a new connection that succeeds.
TEST_F(Session, EveryFailedStepClosesTheSocketAndOnlyARefusedLoginIsReported)
{
    struct Case {
        const char* what;
        Fault fault;             // Fault::Count: none
        const char* password;    // in the settings, when not null
        const char* greeting;    // of a simulator of its own, when not null
        bool serverCloses;
        bool reports;
        unsigned long budgetMs;  // 0: the documented waits
    } cases[] = {
        {"greeting without the phrase", Fault::Count, nullptr, "Welcome to the UPS\r\n", false, false, 0},
        {"greeting split over two receives", Fault::SplitGreeting, nullptr, nullptr, false, false, 0},
        {"phrase beyond the first 200 bytes", Fault::LongLines, nullptr, nullptr, false, false, 0},
        {"closed at once", Fault::CloseAtAccept, nullptr, nullptr, true, false, 0},
        {"closed instead of the login answer", Fault::CloseAtLogin, nullptr, nullptr, true, false, 0},
        {"login refused", Fault::RefuseLogin, nullptr, nullptr, false, true, 0},
        {"wrong password: result 1", Fault::Count, "wrong", nullptr, false, true, 0},
        {"login answer without CR LF", Fault::LoginNoCrLf, nullptr, nullptr, false, true, 0},
        {"closed instead of the subscription answer", Fault::CloseAtSubscribe, nullptr, nullptr, true, false, 0},
        {"subscription never answered", Fault::NoSubscribeAnswer, nullptr, nullptr, false, false, 1500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        upssim::Options options;
        if (c.greeting)
            options.greeting = c.greeting;
        CServer server(options);
        ASSERT_TRUE(server.Start());
        if (c.fault != Fault::Count)
            server.SetFault(c.fault, true);
        WriteSettings("127.0.0.1", server.Port(), nullptr, c.password);
#if !defined(_WIN32)
        int next = NextDescriptor();
#endif
        EXPECT_EQ(-1, Connect(c.budgetMs));
        EXPECT_EQ(c.reports, reported.find(kLoginRefused) != std::string::npos) << reported;
        if (!c.reports) {
            EXPECT_EQ("", reported);
        }
        ASSERT_TRUE(server.WaitForConnections(1, 1000));
        if (!c.serverCloses) {
            EXPECT_TRUE(server.WaitClosedByClient(1, 5000));
        }
#if !defined(_WIN32)
        EXPECT_EQ(next, NextDescriptor()) << "the attempt's socket is closed";
#endif
        // Mended, the server takes a second connection that works.
        if (c.fault != Fault::Count)
            server.SetFault(c.fault, false);
        WriteSettings("127.0.0.1", server.Port());
        if (!c.greeting) {
            int socket = Connect();
            EXPECT_NE(-1, socket);
            EXPECT_EQ(2u, server.Connections().size());
            EXPECT_FALSE(server.Connection(1).open);
            if (socket != -1)
                cvn::NetClose(socket);
        }
    }
}

TEST_F(Session, ARefusedConnectionFailsWithoutAReport)
{
    sim.SetFault(Fault::Refuse, true);
    EXPECT_EQ(-1, Connect());
    EXPECT_EQ("", reported);
    EXPECT_TRUE(sim.Connections().empty());
}

TEST_F(Session, AServerThatAcceptsAndNeverAnswersIsGivenTenSeconds)
{
    sim.SetFault(Fault::Silent, true);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(-1, Connect());
    long waited = MsSince(start);
    EXPECT_GE(waited, 9900);
    EXPECT_LT(waited, 15000);
    EXPECT_TRUE(sim.WaitClosedByClient(1, 5000));
    EXPECT_EQ("", reported);
}

TEST_F(Session, AConnectThatHangsIsGivenTenSeconds)
{
    sim.SetFault(Fault::StallConnect, true);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(-1, Connect());
    long waited = MsSince(start);
    EXPECT_GE(waited, 9900);
    EXPECT_LT(waited, 15000);
    EXPECT_TRUE(sim.Connections().empty());
}

TEST_F(Session, ABudgetEndsAllWaitsTogether)
{
    struct Case {
        const char* what;
        Fault fault;
    } cases[] = {
        {"a hanging connect", Fault::StallConnect},
        {"no greeting", Fault::Silent},
        {"greeted and logged in, no subscription answer", Fault::NoSubscribeAnswer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CServer server;
        ASSERT_TRUE(server.Start());
        server.SetFault(c.fault, true);
        WriteSettings("127.0.0.1", server.Port());
        Clock::time_point start = Clock::now();
        EXPECT_EQ(-1, Connect(800));
        long waited = MsSince(start);
        EXPECT_GE(waited, 700);
        EXPECT_LT(waited, 5000);
    }
    // The budget is shared: each reply of a slow server comes well within
    // the budget, but the three together do not.
    CServer slow;
    ASSERT_TRUE(slow.Start());
    slow.SetDelay(500);
    WriteSettings("127.0.0.1", slow.Port());
    Clock::time_point start = Clock::now();
    EXPECT_EQ(-1, Connect(1200));
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_TRUE(slow.WaitClosedByClient(1, 5000));
    EXPECT_EQ("Login(admin, vorak)\r\nSetAutoUpdate(1)\r\n", slow.ReceivedText(1))
        << "the third reply was no longer awaited";
    int patient = Connect();
    EXPECT_NE(-1, patient) << "without a budget the slow server is waited for";
    if (patient != -1)
        cvn::NetClose(patient);

    // A spent budget waits no further, however silent the server.
    CServer silent;
    ASSERT_TRUE(silent.Start());
    silent.SetFault(Fault::Silent, true);
    WriteSettings("127.0.0.1", silent.Port());
    start = Clock::now();
    EXPECT_EQ(-1, Connect(1));
    EXPECT_LT(MsSince(start), 1000);

    // A budget larger than all the waits changes nothing for a good server.
    WriteSettings("127.0.0.1", sim.Port());
    int socket = Connect(60000);
    EXPECT_NE(-1, socket);
    if (socket != -1)
        cvn::NetClose(socket);
}

TEST_F(Session, ReadsTheSettingsAnewForEachAttempt)
{
    CServer other;
    ASSERT_TRUE(other.Start());
    other.SetCredentials("operator", "s3cret");

    int first = Connect();
    ASSERT_NE(-1, first);
    WriteSettings("127.0.0.1", other.Port(), "operator", "s3cret");
    int second = Connect();
    ASSERT_NE(-1, second);
    ASSERT_TRUE(other.WaitForText(1, "SetAutoUpdate(1)\r\n", 5000));
    EXPECT_EQ(0u, other.ReceivedText(1).find("Login(operator, s3cret)\r\n"));
    EXPECT_EQ(1u, sim.Connections().size()) << "the old port saw no second attempt";
    cvn::NetClose(first);
    cvn::NetClose(second);
}

TEST_F(Session, APortBeyondSixteenBitsUsesItsLowBits)
{
    WriteSettings("127.0.0.1", 65536L + sim.Port());
    int socket = Connect();
    EXPECT_NE(-1, socket);
    EXPECT_EQ(1u, sim.Connections().size());
    if (socket != -1)
        cvn::NetClose(socket);
}

// A name server that takes seconds (it lost power too) is one of the
// attempt's waits: waited for no longer than the budget, one look-up in
// flight however many attempts give up on it, and its late answer serves
// the next attempt.
namespace {
std::atomic<int> g_lookups{0};
bool SlowLookup(const char*, cvn::CNetAddresses* addresses)
{
    ++g_lookups;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return cvn::NetResolveHost("127.0.0.1", addresses);
}
}  // namespace

TEST_F(Session, ASlowNameServerIsWaitedForOnlyWithinTheBudget)
{
    cvn::SetHostLookup(SlowLookup);
    WriteSettings("ups.slow.test", sim.Port());
    Clock::time_point start = Clock::now();
    EXPECT_EQ(-1, Connect(500));
    EXPECT_EQ(-1, Connect(500));
    EXPECT_LT(MsSince(start), 1800);
    EXPECT_TRUE(sim.Connections().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    start = Clock::now();
    int socket = Connect(500);
    EXPECT_NE(-1, socket);
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(1, g_lookups.load());
    if (socket != -1)
        cvn::NetClose(socket);

    // That answer served once: the name is looked up again (a server whose
    // address changed is found), and a late answer for one name never
    // serves another.
    EXPECT_EQ(-1, Connect(500));
    EXPECT_EQ(2, g_lookups.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    WriteSettings("ups.other.test", sim.Port());
    EXPECT_EQ(-1, Connect(500));
    EXPECT_EQ(3, g_lookups.load());
    EXPECT_EQ(1u, sim.Connections().size());
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    cvn::SetHostLookup(nullptr);
}

TEST_F(Session, AHostNameIsResolvedAndOneThatDoesNotResolveFails)
{
    WriteSettings("localhost", sim.Port());
    int socket = Connect();
    EXPECT_NE(-1, socket);
    EXPECT_EQ(1u, sim.Connections().size());
    if (socket != -1)
        cvn::NetClose(socket);

#if !defined(_WIN32)
    int next = NextDescriptor();
#endif
    WriteSettings("no-such-host.invalid", sim.Port());
    EXPECT_EQ(-1, Connect());
    EXPECT_EQ("", reported);
    // Emptied since the caller looked: nothing is connected to, not even
    // this computer, which an empty name would resolve to on Windows.
    WriteSettings("", sim.Port());
    EXPECT_EQ(-1, Connect());
#if !defined(_WIN32)
    EXPECT_EQ(next, NextDescriptor());
#endif
    EXPECT_EQ(1u, sim.Connections().size());
}

// IPv6 and names of several addresses. A simulator listening on [::1] as
// well is made where this machine (or Wine) has an IPv6 loopback; where it
// has none, the test says so and is skipped.
namespace {

bool ListLookup(const char* name, cvn::CNetAddresses* addresses)
{
    const std::string text = name;
    addresses->clear();
    cvn::CNetAddresses one;
    if (text == "v6.list.test" || text == "two.list.test") {
        cvn::NetResolveHost("::1", &one);
        addresses->insert(addresses->end(), one.begin(), one.end());
    }
    if (text == "hung.list.test")
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    if (text == "two.list.test" || text == "good.list.test" || text == "hung.list.test") {
        cvn::NetResolveHost("127.0.0.1", &one);
        addresses->insert(addresses->end(), one.begin(), one.end());
    }
    return !addresses->empty();
}

// Resets the test's look-up when the test ends, however it ends.
struct CListLookup {
    CListLookup() { cvn::SetHostLookup(ListLookup); }
    ~CListLookup() { cvn::SetHostLookup(nullptr); }
};

upssim::Options BothFamilies()
{
    upssim::Options options;
    options.ipv6 = true;
    return options;
}

}  // namespace

TEST_F(Session, AnIPv6AddressOrANameOfIPv6OnlyIsReachedAndTraced)
{
    CServer six(BothFamilies());
    std::string why;
    if (!six.Start(&why))
        GTEST_SKIP() << "no IPv6 loopback here: " << why;
    CListLookup lookup;
    const std::string port = std::to_string(six.Port());
    const std::string connected = "T3:CONNECT:[::1]:" + port + "\nT3:CONNECTED:[::1]:" + port + "\n";
    for (const char* address : {"::1", "[::1]", "0:0:0:0:0:0:0:1", "v6.list.test"}) {
        SCOPED_TRACE(address);
        CDebug::SetDefaultOutput(std::fopen(dir.File("trace.log").c_str(), "wb"));
        WriteSettings(address, six.Port());
        int socket = Connect();
        ASSERT_NE(-1, socket) << reported;
        EXPECT_EQ("", reported);
        const std::size_t id = six.Connections().size();
        ASSERT_TRUE(six.WaitForText(static_cast<int>(id), "GetValue(Battery Status)\r\n", 5000));
        EXPECT_EQ(0u, six.Connection(static_cast<int>(id)).peer.find("[::1]:"));
        EXPECT_EQ(0u, Trace().find(connected + "T3:SEND:Login(admin, ****)"));
        cvn::NetClose(socket);
    }
}

// The addresses of a name are tried in their order within the one wait of
// the connect: one that refuses costs nothing, one that hangs has its share.
TEST_F(Session, EveryAddressOfANameIsTriedWithinTheOneConnectWait)
{
    CListLookup lookup;
    // Nothing listens on [::1] here: refused at once, or no IPv6 at all.
    WriteSettings("two.list.test", sim.Port());
    Clock::time_point start = Clock::now();
    int socket = Connect();
    ASSERT_NE(-1, socket) << reported;
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ("", reported);
    const std::string port = std::to_string(sim.Port());
    EXPECT_EQ(0u, Trace().find("T3:CONNECT:[::1]:" + port + "\nT3:CONNECT:127.0.0.1:" + port +
                              "\nT3:CONNECTED:127.0.0.1:" + port + "\nT3:SEND:Login"));
    cvn::NetClose(socket);

    // Both hang: the attempt ends within its budget, or within the one
    // connect wait of 10 s without one, having tried both.
    CServer stalled(BothFamilies());
    std::string why;
    if (!stalled.Start(&why))
        GTEST_SKIP() << "no IPv6 loopback here: " << why;
    stalled.SetFault(Fault::StallConnect, true);
    WriteSettings("two.list.test", stalled.Port());
    for (unsigned long budget : {800ul, 0ul}) {
        SCOPED_TRACE(budget);
        CDebug::SetDefaultOutput(std::fopen(dir.File("trace.log").c_str(), "wb"));
        start = Clock::now();
        EXPECT_EQ(-1, Connect(budget));
        const long waited = MsSince(start);
        const long expected = budget ? static_cast<long>(budget) : 10000;
        EXPECT_GE(waited, expected - 100);
        EXPECT_LT(waited, expected + 1500);
        const std::string trace = Trace();
        EXPECT_NE(std::string::npos, trace.find("T3:CONNECT:127.0.0.1:")) << trace;
        EXPECT_EQ(std::string::npos, trace.find("CONNECTED")) << trace;
    }
    EXPECT_TRUE(stalled.Connections().empty());
}

// A port written into the address, or a text no address or name can be, is
// told once per run and never connected to; the monitor reports each
// failed attempt as it does any other.
TEST_F(Session, AnAddressWithAPortOrOfNoKindIsRefusedWithOneReport)
{
    struct Row {
        const char* address;
        const char* report;
    } rows[] = {
        {"[::1]:8888", "Server Address [::1]:8888 holds a port."},
        {"127.0.0.1:8888", "Server Address 127.0.0.1:8888 holds a port."},
        {"[::1", "Server Address [::1 is neither an IPv4 address"},
#if !defined(_WIN32)
        // Natively a zone may name its interface; it must be one there is.
        {"fe80::1%no-such-interface", "Server Address fe80::1%no-such-interface is neither"},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        WriteSettings(row.address, sim.Port());
        EXPECT_EQ(-1, Connect());
        EXPECT_EQ(0u, reported.find(row.report)) << reported;
        EXPECT_EQ(1, std::count(reported.begin(), reported.end(), '\n')) << "one report: " << reported;
        EXPECT_EQ(-1, Connect());
        EXPECT_EQ("", reported) << "told once per run";
    }
    EXPECT_TRUE(sim.Connections().empty());
}

// Each server's look-up has a thread of its own: a name that hangs holds
// its own server's attempts only.
TEST_F(Session, AHungLookUpHoldsOnlyItsOwnServer)
{
    CListLookup lookup;
    WriteFile(ini, "[Settings]\r\nServer Address=hung.list.test\r\nServer Port=" + std::to_string(sim.Port()) +
                       "\r\n[Server 2]\r\nServer Address=good.list.test\r\n");
    cvn::CStopRequest stop;
    cvn::CSessionRequest hung = cvn::CSessionRequest::First(ini, &stop);
    hung.limited = true;
    hung.budgetMs = 4000;
    // On a thread of the client's own kind: the Windows tests have no
    // std::thread.
    struct CHung {
        cvn::CSessionRequest request;
        std::atomic<int> socket{0};
        cvn::CEvent done;
    } job;
    job.request = hung;
    ASSERT_TRUE(cvn::StartDetachedThread(
        [](void* argument) {
            CHung& self = *static_cast<CHung*>(argument);
            self.socket = cvn::OpenUpsSession(self.request);
            self.done.Set();
        },
        &job));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cvn::CSessionRequest good = hung;
    good.section = "Server 2";
    good.budgetMs = 1000;
    Clock::time_point start = Clock::now();
    const int socket = cvn::OpenUpsSession(good);
    EXPECT_NE(-1, socket);
    EXPECT_LT(MsSince(start), 1000);
    ASSERT_TRUE(job.done.Wait(6000));
    EXPECT_NE(-1, job.socket.load()) << "the hung look-up ended within its own budget and served it";
    for (int s : {socket, job.socket.load()}) {
        if (s != -1)
            cvn::NetClose(s);
    }
}

#if defined(_WIN32)
// Windows 98 SE, NT 4.0 and 2000 have no getaddrinfo: names are looked up
// for IPv4 as before, and an IPv6 address is told as not supported, once.
TEST_F(Session, WithoutGetaddrinfoNamesStayIPv4AndIPv6IsToldOnce)
{
    cvn::NetUseOldResolver(true);
    WriteSettings("localhost", sim.Port());
    int socket = Connect();
    EXPECT_NE(-1, socket) << reported;
    if (socket != -1)
        cvn::NetClose(socket);
    WriteSettings("[::2]", sim.Port());
    EXPECT_EQ(-1, Connect());
    EXPECT_EQ("Server Address [::2] is an IPv6 address, which this version of Windows cannot reach: use an IPv4 "
              "address or a host name.\n",
              Lines(reported));
    EXPECT_EQ(-1, Connect());
    EXPECT_EQ("", reported);
    cvn::NetUseOldResolver(false);
    // Windows reads a zone by its number only.
    WriteSettings("fe80::1%eth0", sim.Port());
    EXPECT_EQ(-1, Connect());
    EXPECT_EQ(0u, reported.find("Server Address fe80::1%eth0: on Windows the zone")) << reported;
    EXPECT_EQ(1u, sim.Connections().size());
}
#endif
