// CVNRemote as a Windows service under Wine's service manager, controlled
// with the client's own commands and with Wine's sc.exe and net.exe.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "support/capture.h"
#include "support/client_env.h"
#include "support/process.h"
#include "support/service_control.h"

using namespace cvntest;

namespace {

const char* const kService = kServiceName;
const char* const kServiceKey = "HKLM\\System\\CurrentControlSet\\Services\\Corvane Remote Shutdown Client";
const char* const kSourceKey =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corvane Remote Shutdown Client";

int QueryState()
{
    return QueryServiceState();
}

bool WaitForState(int state, int timeoutMs = 30000)
{
    return WaitForServiceState(state, timeoutMs);
}

// A failed command, start-up or monitor.
const int kFailed = 1;

// The service's status record as the service manager has it.
SERVICE_STATUS ServiceStatus()
{
    SERVICE_STATUS status = {};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, kService, SERVICE_QUERY_STATUS) : nullptr;
    if (service)
        QueryServiceStatus(service, &status);
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return status;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WaitForServiceManager());
        // A service left over by an earlier run would fail "install".
        RemoveService();
        // Nothing listens there: the monitor tries, fails and pauses 20 s,
        // again and again, and the service stays running.
        WriteFile(env.AppDir() + "CVNRemote.ini", "[Settings]\nServer Address=127.0.0.1\nServer Port=9\n");
    }
    void TearDown() override { RemoveService(); }

    // A service command of the client: exit status 0 and its one line.
    void Command(const std::string& word, const std::string& confirmation)
    {
        ProcessResult r = env.Run("CVNRemote", {word});
        EXPECT_EQ(0, r.exitCode) << word << ": " << r.err;
        EXPECT_EQ(confirmation + "\n", Lines(r.out)) << word;
    }

    std::string Program() const { return env.AppDir() + "CVNRemote.exe"; }

    ClientEnv env;
};

TEST_F(Service, ClientCommandsInstallStartPauseResumeStopAndRemove)
{
    ServicesLog log;
    Command("install", "Service installed.");
    // Quoted: the program's folder has a blank in its name.
    std::string imagePath = RegistryValue(kServiceKey, "ImagePath");
    std::string quoted = "    \"" + Program() + "\"";
    ASSERT_GT(imagePath.size(), quoted.size()) << imagePath;
    EXPECT_EQ(quoted, imagePath.substr(imagePath.size() - quoted.size()));
    EXPECT_EQ(1, QueryState());

    Command("start", "Service control succeeded.");
    ASSERT_TRUE(WaitForState(4));
    EXPECT_EQ("EventMessageFile    REG_EXPAND_SZ    " + Program(),
              RegistryValue(kSourceKey, "EventMessageFile"));
    EXPECT_EQ("TypesSupported    REG_DWORD    0x7", RegistryValue(kSourceKey, "TypesSupported"));
    // The monitor's reports went to the Event Log: the start, then the
    // failed attempt.
    EXPECT_TRUE(log.WaitFor("40020003")) << log.Since();
    EXPECT_TRUE(log.WaitFor("c0020005")) << log.Since();

    Command("pause", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(7));
    Command("resume", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(4));
    Command("stop", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(1));
    Command("remove", "Service removed.");
    EXPECT_EQ(0, QueryState());
}

// A failed command says why and ends as a failure, without going on to the
// monitor (nor to the service dispatcher's wait).
TEST_F(Service, InstallingTwiceReportsTheSystemsTextAndFails)
{
    Command("install", "Service installed.");
    ProcessResult r = env.Run("CVNRemote", {"install"});
    EXPECT_EQ(kFailed, r.exitCode);
    std::string err = Lines(r.err);
    EXPECT_EQ(0u, err.find("Failed to Initialize Application. Detail[")) << err;
    EXPECT_NE(std::string::npos, err.find("exists")) << err;
    EXPECT_EQ(std::string::npos, err.find("Connecting to server.")) << err;
}

// Wine's service manager keeps no failure actions: install and configure
// still succeed, and the trace (echoed in a console run) shows what was
// asked of the system.
TEST_F(Service, InstallAndConfigureSetTheFailureActions)
{
    const std::string actions = "T3:ChangeServiceConfig2A(SERVICE_CONFIG_FAILURE_ACTIONS, reset 86400 s, restart "
                                "60000 ms, 60000 ms, 300000 ms): ";
    const std::string flag = "T3:ChangeServiceConfig2A(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, TRUE): ";
    for (const char* word : {"install", "configure"}) {
        ProcessResult r = env.Run("CVNRemote", {"daemon", word});
        EXPECT_EQ(0, r.exitCode) << word << ": " << r.err;
        EXPECT_EQ(std::string(word) == "install" ? "Service installed.\n" : "Service configured.\n", Lines(r.out));
        const std::string err = Lines(r.err);
        EXPECT_NE(std::string::npos, err.find(actions)) << word << ": " << err;
        EXPECT_NE(std::string::npos, err.find("\n" + flag)) << word << ": " << err;
    }
    // The service is still there and can run.
    Command("start", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(4));
    Command("stop", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(1));
}

TEST_F(Service, CommandsOnAMissingServiceFail)
{
    for (const char* word : {"remove", "start", "stop", "pause", "resume", "configure"}) {
        ProcessResult r = env.Run("CVNRemote", {word});
        EXPECT_EQ(kFailed, r.exitCode) << word;
        EXPECT_EQ(0u, Lines(r.err).find("Failed to Initialize Application. Detail[")) << word << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("Connecting to server.")) << word;
        EXPECT_EQ("", r.out) << word;
    }
}

// The stop control does not wait for the monitor's pass: a stop in the
// middle of the 20 s pause after a failed attempt ends the service at once.
TEST_F(Service, AStopDuringThePauseAfterAFailedAttemptEndsTheServiceAtOnce)
{
    ServicesLog log;
    Command("install", "Service installed.");
    Command("start", "Service control succeeded.");
    ASSERT_TRUE(WaitForState(4));
    ASSERT_TRUE(log.WaitFor("c0020005")) << log.Since();
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const size_t reports = Count(log.Since(), "c0020005");
    auto stopped = std::chrono::steady_clock::now();
    Command("stop", "Service control succeeded.");
    while (ServiceStatus().dwCurrentState != SERVICE_STOPPED &&
           std::chrono::steady_clock::now() - stopped < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    EXPECT_LT(seconds, 2.0);
    EXPECT_EQ(0u, ServiceStatus().dwWin32ExitCode);
    // The ended pause is not taken for another failed attempt.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(reports, Count(log.Since(), "c0020005")) << log.Since();
}

// A service whose monitor ends by itself stops, and its exit code says why.
TEST_F(Service, AMonitorThatEndsByItselfStopsTheServiceWithItsMessage)
{
    WriteFile(env.AppDir() + "CVNRemote.ini", "[Settings]\nServer Address=\n");
    Command("install", "Service installed.");
    Command("start", "Service control succeeded.");
    ASSERT_TRUE(WaitForState(1));
    SERVICE_STATUS status = ServiceStatus();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), status.dwWin32ExitCode);
    EXPECT_EQ(0xC0020004u, status.dwServiceSpecificExitCode);
}

// Wine's sc.exe and net.exe start and stop services, but pause and continue
// only through the client's own commands.
TEST_F(Service, ScAndNetControlTheService)
{
    Command("install", "Service installed.");
    EXPECT_EQ(0, RunProgram({"sc", "start", kService}).exitCode);
    ASSERT_TRUE(WaitForState(4));
    Command("pause", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(7));
    Command("resume", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(4));
    RunProgram({"net", "stop", kService});
    EXPECT_TRUE(WaitForState(1));
    RunProgram({"net", "start", kService});
    EXPECT_TRUE(WaitForState(4));
    EXPECT_EQ(0, RunProgram({"sc", "stop", kService}).exitCode);
    EXPECT_TRUE(WaitForState(1));
    EXPECT_EQ(0, RunProgram({"sc", "delete", kService}).exitCode);
    EXPECT_EQ(0, QueryState());
}

TEST_F(Service, StopWhilePausedAndUnknownControlsChangeNothing)
{
    Command("install", "Service installed.");
    Command("start", "Service control succeeded.");
    ASSERT_TRUE(WaitForState(4));

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, service);
    SERVICE_STATUS status = {};
    ControlService(service, SERVICE_CONTROL_INTERROGATE, &status);
    ControlService(service, 200, &status);
    EXPECT_EQ(4, QueryState());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    Command("pause", "Service control succeeded.");
    ASSERT_TRUE(WaitForState(7));
    Command("stop", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(1));
}

}  // namespace
