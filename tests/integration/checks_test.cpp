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

#if defined(_WIN32)
const char* const kWay = "net send";
#else
const char* const kWay = "wall";
#endif

class Checks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Start());
        WriteFile(env.AppDir() + "CVNRemote.ini",
                  "[Settings]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(server.Port()) +
                      "\n[Debug]\nOn=1\n");
    }
    void TearDown() override { server.Stop(); }

    ProcessResult Run(const std::vector<std::string>& args) const { return env.Run("CVNRemote", args, 30000); }

    upssim::CServer server;
    ClientEnv env;
};

TEST_F(Checks, StatusReportsTheUpsStateAndTellsItInTheExitStatus)
{
    const struct {
        const char* output;
        const char* battery;
        int exitCode;
        const char* ups;
    } cases[] = {
        {"Line", "OK", 0, "on mains power"},
        {"Battery", "OK", 2, "on battery"},
        {"Battery", "Low", 3, "on battery, battery low"},
    };
    for (const auto& c : cases) {
        server.SetOutput(c.output);
        server.SetBattery(c.battery);
        ProcessResult r = Run({"status"});
        EXPECT_EQ(c.exitCode, r.exitCode) << c.output << " " << c.battery << r.err;
        EXPECT_EQ("Server:         127.0.0.1 port " + std::to_string(server.Port()) +
                      "\nLogin:          accepted for admin\nOutput Source:  " + c.output +
                      "\nBattery Status: " + c.battery + "\nUPS:            " + c.ups + "\n",
                  Lines(r.out));
        EXPECT_EQ("", r.err);
    }
    // No notice, no shutdown, and the trace file of a running client is
    // left alone.
    EXPECT_TRUE(env.Calls().empty());
    EXPECT_FALSE(std::filesystem::exists(env.AppDir() + "agtrace.log"));
}

TEST_F(Checks, StatusWithoutAnAnswerEndsWithOneAndTheReason)
{
    server.SetFault(upssim::Fault::RefuseLogin, true);
    ProcessResult r = Run({"status"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Login failed!  Please check username and password.\nUnable to connect to !!\n", Lines(r.err));

    // Queries answered with a result other than 0 tell nothing: given up
    // after 10 s.
    server.SetFault(upssim::Fault::RefuseLogin, false);
    server.SetFault(upssim::Fault::QueryResult1, true);
    auto start = std::chrono::steady_clock::now();
    r = Run({"status"});
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(1, r.exitCode);
    EXPECT_GE(took, 9.5);
    EXPECT_LE(took, 13.0);
    EXPECT_NE(std::string::npos, r.out.find("Output Source:  (no answer)")) << r.out;

    server.Stop();
    r = Run({"status", "-c", env.AppDir() + "CVNRemote.ini"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Unable to connect to !!\n", Lines(r.err));
    // After the word, only the settings option may follow.
    EXPECT_EQ(-1, Run({"status", "install"}).exitCode);
}

TEST_F(Checks, NoticeGoesOutTheWayARealOneDoesAndNamesIt)
{
    ProcessResult r = Run({"notice"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(std::string("Notice sent by ") + kWay + ": This is a test of the UPS shutdown client.\n", Lines(r.out));
    // A text of the user's own, "%" and all, and a word that is no command
    // after it.
    r = Run({"notice", "-c", env.AppDir() + "CVNRemote.ini", "Test 100% install"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(2u, calls.size());
    const std::string second = calls[1].commandLine;
    EXPECT_EQ(" Test 100% install", second.substr(second.size() - 18)) << second;
    EXPECT_EQ(std::string::npos, calls[0].commandLine.find("shutdown -h")) << calls[0].commandLine;
    EXPECT_NE(std::string::npos, calls[0].commandLine.find("This is a test of the UPS shutdown client."));

    // A notice that no way delivers is a failure.
    env.SetExitStatus(kWay == std::string("wall") ? "wall" : "net.exe", 1);
    env.SetExitStatus("msg.exe", 1);
    EXPECT_EQ(1, Run({"notice"}).exitCode);
}

}  // namespace
