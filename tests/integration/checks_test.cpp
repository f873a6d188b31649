// CVNRemote's checks of the set-up: "status" makes one session and tells the
// UPS state in its report and its exit status; "notice" sends a test notice
// the way a real one goes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/capture.h"
#include "support/client_env.h"
#include "support/process.h"
#include "upssim/server.h"

using namespace cvntest;

namespace {

class Checks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Start());
        WriteFile(ini, "[Settings]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(server.Port()) +
                           "\n[Debug]\nOn=1\n");
    }
    ProcessResult Run(const std::vector<std::string>& args) const { return env.Run("CVNRemote", args); }

    upssim::CServer server;
    ClientEnv env;
    std::string ini = env.AppDir() + "CVNRemote.ini";
};

TEST_F(Checks, StatusTellsTheUpsStateInItsReportAndExitStatus)
{
    const std::string head = "Server:         127.0.0.1 port " + std::to_string(server.Port()) +
                             "\nLogin:          accepted for admin\nOutput Source:  ";
    for (auto c : std::vector<std::vector<std::string>>{{"Line", "OK", "0", "on mains power"},
                                                         {"Battery", "OK", "2", "on battery"},
                                                         {"Battery", "Low", "3", "on battery, battery low"},
                                                         {"Line", "Low", "3", "on mains power, battery low"}}) {
        server.SetOutput(c[0]);
        server.SetBattery(c[1]);
        ProcessResult r = Run({"status"});
        EXPECT_EQ(std::stoi(c[2]), r.exitCode) << r.err;
        EXPECT_EQ(head + c[0] + "\nBattery Status: " + c[1] + "\nUPS:            " + c[3] + "\n", Lines(r.out));
    }
    // No notice, and the trace file of a running client is left alone.
    EXPECT_TRUE(env.Calls().empty());
    EXPECT_FALSE(std::filesystem::exists(env.AppDir() + "agtrace.log"));

    server.SetFault(upssim::Fault::RefuseLogin, true);
    ProcessResult r = Run({"status"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Login failed!  Please check username and password.\nUnable to connect to !!\n", Lines(r.err));
    // Answers that tell nothing are given up after 10 s.
    server.SetFault(upssim::Fault::RefuseLogin, false);
    server.SetFault(upssim::Fault::QueryResult1, true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, Run({"status"}).exitCode);
    EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::seconds(13));
    // 10 s in all, however slowly each step is answered.
    server.SetFault(upssim::Fault::QueryResult1, false);
    server.SetDelay(9500);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, Run({"status"}).exitCode);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9500));
    EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::seconds(13));
    server.SetDelay(0);
    // Neither a settings file that cannot be read nor one without the
    // server's address is a state of the UPS.
    r = Run({"status", "-c", env.AppDir() + "missing.ini"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("Unable to load INI File[")) << r.err;
    WriteFile(env.AppDir() + "empty.ini", "[Settings]\n");
    r = Run({"status", "-c", env.AppDir() + "empty.ini"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("No server address specified, aborting!\n", Lines(r.err));
    server.Stop();
    r = Run({"status", "-c", ini});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Unable to connect to !!\n", Lines(r.err));
    // Nothing after the word acts on the service.
    EXPECT_EQ(-1, Run({"status", "install"}).exitCode);
}

// With two servers both are asked side by side: a line for each UPS, the
// computer's state from both, and the computer's exit status. A UPS that
// cannot be asked is counted on for nothing.
TEST_F(Checks, StatusWithTwoServersTellsEachUpsAndTheComputer)
{
    upssim::CServer second;
    ASSERT_TRUE(second.Start());
    auto name = [](const char* section, const upssim::CServer& ups) {
        return std::string("UPS ") + section + ": 127.0.0.1 port " + std::to_string(ups.Port()) + ": ";
    };
    auto write = [&](int minimum) {
        WriteFile(ini, "[Settings]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(server.Port()) +
                           "\nMinimum Supplies=" + std::to_string(minimum) + "\n[Server 2]\nServer Address=127.0.0.1\n" +
                           "Server Port=" + std::to_string(second.Port()) + "\n");
    };
    const std::string first = name("Settings", server) + "output source Line, battery status ";
    const std::string other = name("Server 2", second) + "output source Battery, battery status OK: on battery\n";
    second.SetOutput("Battery");
    for (auto c : std::vector<std::vector<std::string>>{
             {"OK", "1", "0", "on mains power: on mains power (1 of 2 UPSes on mains power, 1 needed)"},
             {"OK", "2", "2", "on mains power: on battery (1 of 2 UPSes on mains power, 2 needed)"},
             {"Low", "1", "0", "on mains power, battery low: on mains power (1 of 2 UPSes on mains power, 1 needed)"},
             {"Low", "2", "3", "on mains power, battery low: on battery, battery low (1 of 2 UPSes on mains "
                               "power, 2 needed)"}}) {
        server.SetBattery(c[0]);
        write(std::stoi(c[1]));
        ProcessResult r = Run({"status"});
        EXPECT_EQ(std::stoi(c[2]), r.exitCode) << r.err;
        const std::string::size_type split = c[3].find(": ");
        EXPECT_EQ(first + c[0] + ": " + c[3].substr(0, split) + "\n" + other + "Computer:       " +
                      c[3].substr(split + 2) + "\n",
                  Lines(r.out));
    }

    second.Stop();
    ProcessResult r = Run({"status"});
    EXPECT_EQ(3, r.exitCode);
    EXPECT_NE(std::string::npos, Lines(r.out).find(name("Server 2", second) + "could not be asked\n")) << r.out;
    EXPECT_EQ("Unable to connect to the server. Server[Server 2: 127.0.0.1 port " + std::to_string(second.Port()) +
                  "].\n",
              Lines(r.err));
    // A UPS that could not be asked counts as the monitor counts one it has
    // not heard from: on battery once another is, so one UPS on battery is
    // enough for "on battery" with one required.
    server.SetBattery("OK");
    server.SetOutput("Battery");
    write(1);
    r = Run({"status"});
    EXPECT_EQ(2, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos,
              Lines(r.out).find("Computer:       on battery (0 of 2 UPSes on mains power, 1 needed)\n"))
        << r.out;
    // Two servers that never answer take the one budget between them.
    server.SetFault(upssim::Fault::Silent, true);
    auto start = std::chrono::steady_clock::now();
    r = Run({"status"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9900));
    EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::seconds(13));
}

// status takes the session's road: an IPv6 address as written, and with
// several servers each one's look-up on its own, so that a name that never
// resolves leaves the others to be asked within the 10 s.
TEST_F(Checks, StatusReachesAnIPv6ServerAndAsksEachServerOnItsOwnRoad)
{
    upssim::Options options;
    options.ipv6 = true;
    upssim::CServer six(options);
    std::string why;
    if (!six.Start(&why))
        GTEST_SKIP() << "no IPv6 loopback here: " << why;
    const std::string port = std::to_string(six.Port());
    WriteFile(ini, "[Settings]\nServer Address=[::1]\nServer Port=" + port + "\n");
    ProcessResult r = Run({"status"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(0u, Lines(r.out).find("Server:         [::1] port " + port + "\nLogin:          accepted")) << r.out;
    EXPECT_EQ("", r.err);

#if !defined(_WIN32)
    const RunOptions slow = SlowResolver(60000);
    WriteFile(ini, "[Settings]\nServer Address=ups.slow.test\nServer Port=" + std::to_string(server.Port()) +
                       "\nMinimum Supplies=1\n[Server 2]\nServer Address=ups.v6.test\nServer Port=" + port + "\n");
    const auto start = std::chrono::steady_clock::now();
    r = env.Run("CVNRemote", {"status"}, 60000, slow);
    EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::seconds(13));
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("UPS Settings: ups.slow.test port " + std::to_string(server.Port()) +
                  ": could not be asked\nUPS Server 2: ups.v6.test port " + port +
                  ": output source Line, battery status OK: on mains power\n"
                  "Computer:       on mains power (2 of 2 UPSes on mains power, 1 needed)\n",
              Lines(r.out));
    EXPECT_TRUE(server.Connections().empty());
#endif
}

TEST_F(Checks, NoticeGoesOutTheWayARealOneDoesAndNamesIt)
{
#if defined(_WIN32)
    const std::string way = "net send", program = "net.exe";
#else
    const std::string way = "wall", program = "wall";
#endif
    ProcessResult r = Run({"notice"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("Notice sent by " + way + ": This is a test of the UPS shutdown client.\n", Lines(r.out));
    // A text of the user's own, "%" and a word that is no command in it.
    EXPECT_EQ(0, Run({"notice", "-c", ini, "Test 100% install"}).exitCode);
    std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_NE(std::string::npos, calls[0].commandLine.find(" This is a test of the UPS shutdown client."));
    EXPECT_EQ(" Test 100% install", calls[1].commandLine.substr(calls[1].commandLine.size() - 18));
    // A notice that no way delivers is a failure.
    env.SetExitStatus(program, 1);
    env.SetExitStatus("msg.exe", 1);
    EXPECT_EQ(1, Run({"notice"}).exitCode);
}

}  // namespace
