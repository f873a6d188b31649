// The monitor in service mode, under Wine's service manager and against the
// simulator: reports to the Event Log, the users warned and the system shut
// down on time; pause, continue and stop reach the monitor between passes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/capture.h"
#include "support/client_env.h"
#include "support/process.h"
#include "support/service_control.h"
#include "upssim/server.h"

using namespace cvntest;
using Clock = std::chrono::steady_clock;

namespace {

class ServiceMonitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WaitForServiceManager());
        RemoveService();
        ASSERT_TRUE(server.Start());
        WriteFile(env.AppDir() + "CVNRemote.ini",
                  "[Settings]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(server.Port()) +
                      "\nOn Battery Shutdown=3\n");
        ASSERT_EQ(0, env.Run("CVNRemote", {"install"}).exitCode);
    }
    void TearDown() override
    {
        RemoveService();
        server.Stop();
    }

    void Control(const std::string& word)
    {
        ProcessResult r = env.Run("CVNRemote", {word});
        ASSERT_EQ(0, r.exitCode) << word << ": " << r.err;
    }
    void StartAndAwaitSession()
    {
        Control("start");
        ASSERT_TRUE(WaitForServiceState(4));
        ASSERT_TRUE(server.WaitForText(1, "GetValue(Battery Status)\r\n", 20000));
    }

    // The user messages of the service: its recording net.exe writes beside
    // itself, since a service has the service manager's environment.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> texts;
        std::string log = ReadFile(env.AppDir() + "calls.log");
        for (size_t at = log.find(" send "); at != std::string::npos; at = log.find(" send ", at + 1)) {
            size_t text = log.find(' ', at + 6) + 1;
            size_t end = log.find('\n', text);
            texts.push_back(log.substr(text, end - text));
        }
        return texts;
    }
    Clock::time_point AwaitMessages(size_t count, int timeoutMs) const
    {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            if (Messages().size() >= count)
                return Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Clock::time_point();
    }

    upssim::CServer server;
    ClientEnv env;
};

// First: its shutdown ends the prefix's session, after which the service
// processes that Wine starts anew no longer write to the fixture's log.
TEST_F(ServiceMonitor, OnBatteryTheUsersAreWarnedAndTheSystemShutDownOnTime)
{
    ServicesLog log;
    StartAndAwaitSession();
    // The start and the connection, reported to the Event Log.
    EXPECT_TRUE(log.WaitFor("0x40020003")) << log.Since();
    EXPECT_TRUE(log.WaitFor("0x40020007")) << log.Since();

    server.SetOutput("Battery");
    Clock::time_point warned = AwaitMessages(1, 15000);
    ASSERT_NE(Clock::time_point(), warned);
    EXPECT_EQ("UPS on battery, system will shutdown in 3 seconds.", Messages()[0]);
    Clock::time_point shutdown = AwaitMessages(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown);
    double seconds = std::chrono::duration<double>(shutdown - warned).count();
    EXPECT_GE(seconds, 2.9);
    EXPECT_LE(seconds, 4.5);
    EXPECT_EQ("UPS on battery, shuting down now.", Messages()[1]);
    // The service asked Wine to end the session: wineboot with the flags.
    EXPECT_TRUE(log.WaitFor("--end-session --force --shutdown")) << log.Since();
    // Why it did so is on record: the users' messages as events of their
    // own, the seconds as the insert.
    EXPECT_TRUE(log.WaitFor("0x0004,0x0000,0x4002000a")) << log.Since();
    EXPECT_TRUE(log.WaitFor("ReportEventW L\"3\"")) << log.Since();
    EXPECT_TRUE(log.WaitFor("0x0002,0x0000,0x8002000c")) << log.Since();
}

TEST_F(ServiceMonitor, StopWhileConnectedEndsTheWorkerAndReportsStopped)
{
    StartAndAwaitSession();
    Control("stop");
    // The stop waits for the monitor's pass: at most its 10-second wait.
    EXPECT_TRUE(WaitForServiceState(1, 15000));
    EXPECT_TRUE(server.WaitClosedByClient(1, 15000));
    EXPECT_TRUE(Messages().empty());
}

// With a second UPS server that accepts and never greets, its session waits
// for the greeting when the stop comes: the stop ends that wait too.
TEST_F(ServiceMonitor, StopWithASecondServerStuckInItsGreetingIsPrompt)
{
    upssim::CServer second;
    ASSERT_TRUE(second.Start());
    second.SetFault(upssim::Fault::Silent, true);
    WriteFile(env.AppDir() + "CVNRemote.ini",
              "[Settings]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(server.Port()) +
                  "\n[Server 2]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(second.Port()) + "\n");
    StartAndAwaitSession();
    ASSERT_TRUE(second.WaitForConnections(1, 10000));
    const Clock::time_point asked = Clock::now();
    Control("stop");
    EXPECT_TRUE(WaitForServiceState(1, 15000));
    EXPECT_LE(std::chrono::duration<double>(Clock::now() - asked).count(), 6.0);
    EXPECT_TRUE(server.WaitClosedByClient(1, 5000));
    EXPECT_TRUE(second.WaitClosedByClient(1, 5000));
    second.Stop();
}

TEST_F(ServiceMonitor, PauseHoldsTheCountdownAndAContinueAfterTheDeadlineShutsDown)
{
    StartAndAwaitSession();
    server.SetOutput("Battery");
    ASSERT_NE(Clock::time_point(), AwaitMessages(1, 15000));
    Control("pause");
    ASSERT_TRUE(WaitForServiceState(7));
    // Well past the deadline: paused, the monitor makes no pass.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_EQ(1u, Messages().size());

    Clock::time_point resumed = Clock::now();
    Control("resume");
    Clock::time_point shutdown = AwaitMessages(2, 10000);
    ASSERT_NE(Clock::time_point(), shutdown);
    EXPECT_LE(std::chrono::duration<double>(shutdown - resumed).count(), 3.0);
    EXPECT_EQ("UPS on battery, shuting down now.", Messages().back());
}

}  // namespace
