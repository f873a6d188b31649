// CVNRemote as a user starts it from a console: the usage text, the exit
// statuses, the settings-file check, tracing to a file, and the start of the
// monitor when the settings name no server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/capture.h"
#include "support/client_env.h"
#include "support/process.h"
#include "upssim/server.h"

using namespace cvntest;

namespace {

const char* const kUsageNT =
    "Usage:   CVNRemote [options]\n"
    "Options: -c file  Initialization file, defaults to \".\\CVNRemote.ini\".\n"
    "         daemon   Run as a daemon.\n"
    "         install  Install as a service.\n"
    "         remove   Remove as a service.\n"
    "         start    Start service.\n"
    "         stop     Stop service.\n"
    "         pause    Pause service.\n"
    "         resume   Resume service.\n"
    "         configure Set the service to restart after a failure.\n"
    "         trust folder  Check a folder before a setup takes it.\n"
    "         lock folder   Lock a folder for the service, after trust.\n"
    "         msibegin, msisettings, msiend  Steps of the installer package.\n"
    "         status   Show what the UPS server reports now.\n"
    "         notice   Send a test notice to the users; a text may follow.\n"
    "\n";

const char* const kUsage9x =
    "Usage:   CVNRemote [options]\n"
    "Options: -c file  Initialization file, defaults to \".\\CVNRemote.ini\".\n"
    "         daemon   Run as a daemon.\n"
    "         status   Show what the UPS server reports now.\n"
    "         notice   Send a test notice to the users; a text may follow.\n"
    "\n";

const char* const kNoServer = "[Settings]\nServer Address=\n";
// A failed start-up or a monitor that ends for want of a server address.
const int kFailed = 1;

class ClientStart : public ::testing::Test {
protected:
    // A file beside the program.
    std::string Beside(const std::string& name) const { return env.AppDir() + name; }
    std::string WriteSettings(const std::string& text)
    {
        WriteFile(Beside("CVNRemote.ini"), text);
        return Beside("CVNRemote.ini");
    }
    ProcessResult Run(const std::vector<std::string>& args, int timeoutMs = 30000)
    {
        return env.Run("CVNRemote", args, timeoutMs);
    }

    ClientEnv env;
};

// False when the file stays writable for this user (root, also under Wine).
bool MakeReadOnly(const std::string& path)
{
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    FILE* file = fopen(path.c_str(), "r+");
    if (file)
        fclose(file);
    return file == nullptr;
}

#if !defined(_WIN32)
// Natively no service manager takes the commands: each fails, is reported,
// and ends the program with 1 before any monitor runs.
TEST_F(ClientStart, ServiceCommandsFailWithStatusOneAndNoMonitor)
{
    WriteSettings(kNoServer);
    for (const char* command : {"install", "remove", "start", "stop", "pause", "resume", "configure"}) {
        ProcessResult r = Run({command});
        EXPECT_EQ(kFailed, r.exitCode) << command;
        EXPECT_EQ(std::string::npos, r.err.find("Connecting to server.")) << command;
        EXPECT_NE(std::string::npos, r.err.find("Failed to Initialize Application")) << command << r.err;
    }
}
#endif

TEST_F(ClientStart, RejectedArgumentsShowTheUsageTextAndEndWithMinusOne)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"bogus"}, {"-c"}, {"daemon", "-x"}, {"bogus", "install"}, {"-", "x"}}) {
        ProcessResult r = Run(args);
        EXPECT_EQ(-1, r.exitCode);
        EXPECT_EQ(kUsageNT, Lines(r.err)) << args[0];
        EXPECT_EQ("", r.out);
    }
}

TEST_F(ClientStart, SettingsOptionTakesTheNextArgumentWhateverFollowsTheC)
{
    std::string other = Beside("other settings.ini");
    WriteFile(other, kNoServer);
    for (const char* option : {"-c", "/C", "-config", "/Cx"}) {
        ProcessResult r = Run({"daemon", option, other});
        EXPECT_EQ(kFailed, r.exitCode) << option;
        EXPECT_EQ("Connecting to server.\nNo server address specified, aborting!\n", Lines(r.err)) << option;
    }
    // The second option wins.
    ProcessResult r = Run({"daemon", "-c", Beside("absent.ini"), "-c", other});
    EXPECT_EQ(kFailed, r.exitCode);
    EXPECT_EQ("Connecting to server.\nNo server address specified, aborting!\n", Lines(r.err));
}

TEST_F(ClientStart, DaemonWordInAnyCase)
{
    WriteSettings(kNoServer);
    for (const char* word : {"daemon", "DAEMON", "DaEmOn"}) {
        ProcessResult r = Run({word});
        EXPECT_EQ(kFailed, r.exitCode) << word;
        EXPECT_EQ("Connecting to server.\nNo server address specified, aborting!\n", Lines(r.err)) << word;
    }
}

TEST_F(ClientStart, MissingSettingsFileIsReportedOverTwoLinesThenTheMonitorEnds)
{
    std::string path = Beside("CVNRemote.ini");
    ProcessResult r = Run({"daemon"});
    EXPECT_EQ(kFailed, r.exitCode);
    EXPECT_EQ("Failed to Initialize Application. Detail[Unable to load INI File[" + path +
                  "].\n].\nConnecting to server.\n",
              Lines(r.err));
}

TEST_F(ClientStart, ReadOnlySettingsFileFailsTheCheckLikeAMissingOne)
{
    if (!MakeReadOnly(WriteSettings(kNoServer)))
        GTEST_SKIP() << "this user can write to read-only files";
    ProcessResult r = Run({"daemon"});
    EXPECT_EQ(kFailed, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("Detail[Unable to load INI File[")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("No server address"));
}

TEST_F(ClientStart, TraceFileBesideTheProgramStartsWithTheLevelLine)
{
    WriteSettings("[Settings]\nServer Address=\n[Debug]\nOn=1\n");
    ProcessResult r = Run({"daemon"});
    EXPECT_EQ(kFailed, r.exitCode);
    std::string trace = ReadText(Beside("agtrace.log"));
    // Level 2 by default: the level-3 lines after the first are dropped.
    EXPECT_EQ("T3:Set Trace level to [2]\n", trace);
    // With "daemon" the first two lines are echoed on standard error too.
    EXPECT_EQ(0u, Lines(r.err).find("T3:Tracing to file [" + Beside("agtrace.log") +
                                    "]\nT3:Set Trace level to [2]\n"))
        << r.err;
}

TEST_F(ClientStart, TracingOnlyWithOnEqualToOne)
{
    WriteSettings("[Settings]\nServer Address=\n[Debug]\nOn=2\nLevel=3\n");
    ProcessResult r = Run({"daemon"});
    EXPECT_EQ(kFailed, r.exitCode);
    EXPECT_FALSE(std::filesystem::exists(Beside("agtrace.log")));
}

TEST_F(ClientStart, WithoutDaemonTheClientTriesTheServiceDispatcherFirst)
{
    WriteSettings("[Settings]\nServer Address=\n[Debug]\nOn=1\nLevel=3\n");
    ProcessResult r = Run({}, 60000);
    EXPECT_EQ(kFailed, r.exitCode);
    EXPECT_EQ("T3:Set Trace level to [3]\nT3:Trying to start as a service...\nT2:Failed to start as a service\n",
              ReadText(Beside("agtrace.log")));
    // Console mode: the reports go to standard error.
    EXPECT_EQ("Connecting to server.\nNo server address specified, aborting!\n", Lines(r.err));
}

TEST_F(ClientStart, AfterTheDispatcherRefusesTraceLinesAreEchoedOnStandardError)
{
    upssim::CServer server;
    ASSERT_TRUE(server.Start());
    WriteSettings("[Settings]\nServer Address=127.0.0.1\nServer Port=" + std::to_string(server.Port()) +
                  "\n[Debug]\nOn=1\nLevel=3\n");
    std::unique_ptr<Process> client = env.Start("CVNRemote", {});
    const std::string last = "T3:SEND:GetValue(Battery Status)\n";
    for (int i = 0; i < 600 && Lines(client->Err()).find(last) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string err = Lines(client->Err());
    const std::string at = "127.0.0.1:" + std::to_string(server.Port()) + "\n";
    const std::string connect = "T3:CONNECT:" + at + "T3:CONNECTED:" + at;
    EXPECT_EQ(0u, err.find("Connecting to server.\n" + connect + "T3:SEND:Login(admin, ****)\n")) << err;
    EXPECT_NE(std::string::npos, err.find(last)) << err;
    // The trace file has the same lines, after those of the start.
    std::string trace = Lines(ReadText(Beside("agtrace.log")));
    EXPECT_NE(std::string::npos, trace.find("T2:Failed to start as a service\n" + connect + "T3:SEND:Login(admin, ****)\n"))
        << trace;
    server.Stop();
}

#if !defined(_WIN32)
TEST(ClientStartPath, AProgramPathBeyond260CharactersFailsTheStartWithTheSystemsText)
{
    ClientEnv::Options options;
    options.nativeFolder = std::string(120, 'a') + "/" + std::string(120, 'b');
    ClientEnv deep(options);
    WriteFile(deep.AppDir() + "CVNRemote.ini", kNoServer);
    ProcessResult r = deep.Run("CVNRemote", {"daemon"});
    EXPECT_EQ(-1, r.exitCode);
    EXPECT_EQ("File name too long\n", Lines(r.err));
}
#endif

#if defined(_WIN32)
TEST_F(ClientStart, Windows9xKnowsOnlyDaemonAndTheSettingsOption)
{
    ClientEnv::Options options;
    options.windowsVersion = "win98";
    ClientEnv old(options);
    ProcessResult r = old.Run("CVNRemote", {"install"});
    EXPECT_EQ(-1, r.exitCode);
    EXPECT_EQ(kUsage9x, Lines(r.err));

    WriteFile(old.AppDir() + "CVNRemote.ini", kNoServer);
    r = old.Run("CVNRemote", {"daemon"});
    EXPECT_EQ(kFailed, r.exitCode);
    // With "daemon" the trace goes to standard error.
    std::string err = Lines(r.err);
    EXPECT_EQ(0u, err.find("T3:Open Win9x system log file: 0x")) << err;
    EXPECT_NE(std::string::npos,
              err.find("=fopen(Corvane Remote Shutdown Client.log, w)\n"
                       "Connecting to server.\nNo server address specified, aborting!\n"))
        << err;
    // The Windows 9x log file is made in the current directory.
    EXPECT_TRUE(std::filesystem::exists(old.AppDir() + "Corvane Remote Shutdown Client.log"));
}
#endif

}  // namespace
