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

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WaitForServiceManager());
        // A service left over by an earlier run would fail "install".
        RemoveService();
        WriteFile(env.AppDir() + "CVNRemote.ini", "[Settings]\nServer Address=\n");
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
    // missing server address.
    EXPECT_TRUE(log.WaitFor("40020003")) << log.Since();
    EXPECT_TRUE(log.WaitFor("c0020004")) << log.Since();

    Command("pause", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(7));
    Command("resume", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(4));
    Command("stop", "Service control succeeded.");
    EXPECT_TRUE(WaitForState(1));
    Command("remove", "Service removed.");
    EXPECT_EQ(0, QueryState());
}

TEST_F(Service, InstallingTwiceReportsTheSystemsText)
{
    Command("install", "Service installed.");
    ProcessResult r = env.Run("CVNRemote", {"daemon", "install"});
    EXPECT_EQ(0, r.exitCode);
    std::string err = Lines(r.err);
    EXPECT_EQ(0u, err.find("Failed to Initialize Application. Detail[")) << err;
    EXPECT_NE(std::string::npos, err.find("exists")) << err;
    EXPECT_NE(std::string::npos, err.find("].\nConnecting to server.\n")) << err;
}

TEST_F(Service, CommandsOnAMissingServiceFail)
{
    for (const char* word : {"remove", "start", "stop", "pause", "resume"}) {
        ProcessResult r = env.Run("CVNRemote", {"daemon", word});
        EXPECT_EQ(0, r.exitCode) << word;
        EXPECT_EQ(0u, Lines(r.err).find("Failed to Initialize Application. Detail[")) << word << r.err;
        EXPECT_EQ("", r.out) << word;
    }
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
