// User notices and the shutdown request, seen by the programs that the
// client starts: the recording fakes of ClientEnv (a net.exe beside the
// program under Wine, wall and shutdown first on PATH natively).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#if defined(_WIN32)
#include <windows.h>
#endif

#include "support/client_env.h"

using namespace cvntest;

namespace {

const char* const kOnBattery = "UPS on battery, system will shutdown in %d seconds.";

#if defined(_WIN32)
const char* const kPlatform9x = "win98";

std::string NoticeCommand(const std::string& text)
{
    return "net send " + ComputerName() + " " + text;
}

std::string NoticeProgram(const ClientEnv& env)
{
    return env.AppDir() + "net.exe";
}
#else
const char* const kPlatform9x = "";

std::string NoticeCommand(const std::string& text)
{
    return "wall " + text;
}

std::string NoticeProgram(const ClientEnv& env)
{
    return env.File("bin/wall");
}
#endif

// Windows paths name the same file whatever their case.
std::string Folded(std::string path)
{
#if defined(_WIN32)
    std::transform(path.begin(), path.end(), path.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
#endif
    return path;
}

ProcessResult Drive(const ClientEnv& env, const std::string& platform,
                    std::vector<std::string> action, RunOptions options = {})
{
    const std::string settings = env.File("CVNRemote.ini");
    WriteFile(settings, "[Settings]\n");
    std::vector<std::string> args{settings, platform};
    args.insert(args.end(), action.begin(), action.end());
    return env.Run("notify_driver", args, 60000, std::move(options));
}

ProcessResult Notify(const ClientEnv& env, const std::string& format, int seconds,
                     const std::string& platform = "nt")
{
    return Drive(env, platform, {"notify", format, std::to_string(seconds)});
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(UserNotice, FormattedTextGoesToThisComputerExactly)
{
    ClientEnv env;
    ProcessResult first = Notify(env, kOnBattery, 120);
    ASSERT_EQ(0, first.exitCode) << first.err;
    ProcessResult second = Notify(env, kOnBattery, 0);
    ASSERT_EQ(0, second.exitCode) << second.err;

    const std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(Folded(NoticeProgram(env)), Folded(calls[0].program));
    EXPECT_EQ(NoticeCommand("UPS on battery, system will shutdown in 120 seconds."),
              calls[0].commandLine);
    EXPECT_EQ(NoticeCommand("UPS on battery, system will shutdown in 0 seconds."),
              calls[1].commandLine);
}

TEST(UserNotice, UnformattedTextKeepsItsPercentD)
{
    ClientEnv env;
    ProcessResult r = Notify(env, kOnBattery, -1);
    ASSERT_EQ(0, r.exitCode) << r.err;
    const std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(NoticeCommand(kOnBattery), calls[0].commandLine);
}

#if defined(_WIN32)
// Every Windows since Vista has a net.exe without "send": it prints its
// syntax and ends with 1. The same text then goes out with "msg *".
TEST(UserNotice, WhereNetSendDoesNotDeliverMsgSendsTheText)
{
    ClientEnv env;
    env.SetExitStatus("net.exe", 1);
    ProcessResult r = Notify(env, kOnBattery, 120);
    ASSERT_EQ(0, r.exitCode) << r.err;
    const std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(NoticeCommand("UPS on battery, system will shutdown in 120 seconds."), calls[0].commandLine);
    EXPECT_EQ(Folded(env.AppDir() + "msg.exe"), Folded(calls[1].program));
    EXPECT_EQ("msg * UPS on battery, system will shutdown in 120 seconds.", calls[1].commandLine);
}

// Where neither program delivers (Windows Home editions have no msg.exe),
// the text goes to a message box on every active session, from a library
// looked up at run time: one that is missing, or lacks the function, leaves
// the notice undelivered and nothing worse. All the ways share one 10 s.
TEST(UserNotice, TheWaysAreTriedInTurnWithinOneBudget)
{
    ClientEnv env;
    env.SetExitStatus("net.exe", 1);
    env.SetExitStatus("msg.exe", 1);
    std::string boxes = BinPath("session_messages");
    boxes.replace(boxes.size() - 4, 4, ".dll");
    auto notify = [&](const std::string& library) {
        ::SetEnvironmentVariableA("CVN_SESSION_MESSAGE_LIBRARY", library.c_str());
        ProcessResult r = Notify(env, kOnBattery, 30);
        EXPECT_EQ(0, r.exitCode) << r.err;
        return r.out.substr(0, r.out.find_first_of("\r\n"));
    };
    EXPECT_EQ("notified by message box", notify(boxes));
    std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(NoticeCommand("UPS on battery, system will shutdown in 30 seconds."), calls[0].commandLine);
    EXPECT_EQ("msg * UPS on battery, system will shutdown in 30 seconds.", calls[1].commandLine);
    EXPECT_EQ("1: Corvane Remote Shutdown Client: UPS on battery, system will shutdown in 30 seconds.",
              calls[2].commandLine);

    EXPECT_EQ("not delivered", notify("no_such_library.dll"));
    EXPECT_EQ("not delivered", notify("kernel32.dll"));
    EXPECT_EQ(7u, env.Calls().size());

    // msg hangs: the budget is gone when it is given up, and no box follows.
    env.SetHanging("msg.exe", true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("notified by msg", notify(boxes));
    EXPECT_GE(SecondsSince(start), 9.5);
    EXPECT_LE(SecondsSince(start), 20.0);
    env.SetHanging("msg.exe", false);
    calls = env.AwaitCalls(9, 2000);
    EXPECT_EQ(9u, calls.size());
    EXPECT_EQ("msg * UPS on battery, system will shutdown in 30 seconds.", calls.back().commandLine);
    ::SetEnvironmentVariableA("CVN_SESSION_MESSAGE_LIBRARY", nullptr);
}

// cmd, PowerShell and the libraries of the message box and of hibernation
// come from the system folder: copies planted beside the client under their
// names are never started or loaded, although Wine is told (by this test
// program's environment) to search for those libraries as Windows does. The
// tests' PowerShell is named to the client.
TEST(SystemPrograms, CopiesPlantedBesideTheClientAreNeverStartedOrLoaded)
{
    ClientEnv env;
    std::string library = BinPath("session_messages");
    library.replace(library.size() - 4, 4, ".dll");
    for (const char* name : {"cmd.exe", "powershell.exe"})
        std::filesystem::copy_file(BinPath("cvn_recorder"), env.AppDir() + name);
    for (const char* name : {"wtsapi32.dll", "powrprof.dll"})
        std::filesystem::copy_file(library, env.AppDir() + name);
    const char* overrides = std::getenv("WINEDLLOVERRIDES");
    ASSERT_NE(std::string::npos, std::string(overrides ? overrides : "").find("wtsapi32,powrprof=n,b"));
    RunOptions planted;

    const std::string batch = env.File("run it.bat");
    WriteFile(batch, "@echo %~1>\"%~dp0ran.txt\"\r\n");
    ProcessResult r = Drive(env, "nt", {"command", "\"" + batch + "\"", "by cmd"}, planted);
    EXPECT_EQ("command: ended", r.out.substr(0, r.out.find_first_of("\r\n"))) << r.err;
    EXPECT_EQ("by cmd\r\n", ReadFile(env.File("ran.txt")));

    env.SetExitStatus("net.exe", 1);
    env.SetExitStatus("msg.exe", 1);
    r = Drive(env, "nt", {"notify", kOnBattery, "30"}, planted);
    EXPECT_EQ(0, r.exitCode) << r.err;
    // Wine's own SetSuspendState does nothing and succeeds; the planted
    // library has none.
    r = Drive(env, "nt", {"hibernate"}, planted);
    EXPECT_EQ("hibernate: done", r.out.substr(0, r.out.find_first_of("\r\n"))) << r.err;

    const std::string script = env.File("send mail.ps1");
    planted.env["CVN_POWERSHELL_PROGRAM"] = env.AppDir() + "powershell.exe";
    r = Drive(env, "nt", {"command", "\"" + script + "\" -To admin", "Successfully Connected."}, planted);
    EXPECT_EQ("command: ended", r.out.substr(0, r.out.find_first_of("\r\n"))) << r.err;

    // Only the net, msg and PowerShell named to the client were started.
    const std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(NoticeCommand("UPS on battery, system will shutdown in 30 seconds."), calls[0].commandLine);
    EXPECT_EQ("msg * UPS on battery, system will shutdown in 30 seconds.", calls[1].commandLine);
    EXPECT_EQ("\"" + env.AppDir() + "powershell.exe\" -NoProfile -ExecutionPolicy Bypass -File \"" + script +
                  "\" -To admin \"Successfully Connected.\"",
              calls[2].commandLine);
}
#endif

// Far beyond the 260 characters a fixed command buffer would hold: cutting it
// would send another message, or another command.
TEST(UserNotice, LongTextIsSentWhole)
{
    ClientEnv env;
    std::string text;
    for (int i = 0; text.size() < 1500; ++i)
        text += "word" + std::to_string(i) + " ";
    text += "end.";
    ProcessResult r = Notify(env, text, -1);
    ASSERT_EQ(0, r.exitCode) << r.err;
    const std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(NoticeCommand(text), calls[0].commandLine);
}

// The fake does not end before the test lets it: the driver's return shows
// that the notice gave up waiting, after its 10 s, instead of holding the
// monitor.
TEST(UserNotice, HangingCommandIsLeftToItselfAfterTheTimeLimit)
{
    ClientEnv env;
    env.SetHanging(true);
    const auto start = std::chrono::steady_clock::now();
    ProcessResult r = Notify(env, "UPS on battery, shuting down now.", -1);
    // Room for the driver's start, not for a longer limit.
    EXPECT_GE(SecondsSince(start), 9.5);
    EXPECT_LE(SecondsSince(start), 14.0);
    EXPECT_FALSE(r.timedOut);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("notified"));
    const std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(NoticeCommand("UPS on battery, shuting down now."), calls[0].commandLine);
}

TEST(UserNotice, Windows9xStartsNothing)
{
    ClientEnv::Options options;
    options.windowsVersion = kPlatform9x;
    ClientEnv env(options);
    ProcessResult formatted = Notify(env, kOnBattery, 30, "9x");
    ASSERT_EQ(0, formatted.exitCode) << formatted.err;
    ProcessResult plain = Notify(env, "UPS power restored, aborting shutdown.", -1, "9x");
    ASSERT_EQ(0, plain.exitCode) << plain.err;
    EXPECT_TRUE(env.Calls().empty());
}

#if defined(_WIN32)
// The helper's path holds the blank of "cvn remote"; unquoted, the system
// would start the trap "cvn.exe" in the folder above instead.
TEST(SystemShutdown, Windows9xStartsTheHelperQuotedFromAFolderWithABlank)
{
    ClientEnv::Options options;
    options.windowsVersion = "win98";
    ClientEnv env(options);
    ProcessResult r = Drive(env, "9x", {"shutdown"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stop=1"));
    // Started and not waited for.
    const std::vector<RecordedCall> calls = env.AwaitCalls(1);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(Folded(env.AppDir() + "CVNShutdown.exe"), Folded(calls[0].program));
    EXPECT_EQ("\"" + env.AppDir() + "CVNShutdown.exe\"", calls[0].commandLine);
}
#else
TEST(SystemShutdown, RequestReachesTheShutdownStandIn)
{
    ClientEnv env;
    ProcessResult r = Drive(env, "nt", {"shutdown"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stop=1"));
    const std::vector<RecordedCall> calls = env.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(env.File("bin/shutdown"), calls[0].program);
    EXPECT_EQ("shutdown -h now", calls[0].commandLine);
}

// A request that has not visibly succeeded (refused, killed, or still
// running after its 10 s) is reported, and the monitor goes on (to ask again
// while the UPS is on battery).
TEST(SystemShutdown, ARequestThatDoesNotVisiblySucceedIsReportedAndTheMonitorGoesOn)
{
    ClientEnv::Options options;
    options.helper = ClientEnv::Helper::Missing;
    ClientEnv missing(options);
    ProcessResult r = Drive(missing, "nt", {"shutdown"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stop=0"));
    EXPECT_EQ("Unable to shut down the system. Detail[No such file or directory].\r\n", r.err);
    EXPECT_TRUE(missing.Calls().empty());

    const struct {
        int status;
        bool hang;
        const char* detail;
        double least, most;
    } cases[] = {
        {1, false, "shutdown exited with status 1", 0, 5},
        {-9, false, "shutdown did not exit normally", 0, 5},
        {0, true, "shutdown was still running after 10 seconds", 9.5, 14},
    };
    for (const auto& c : cases) {
        ClientEnv failing;
        failing.SetExitStatus("shutdown", c.status);
        failing.SetHanging("shutdown", c.hang);
        const auto start = std::chrono::steady_clock::now();
        r = Drive(failing, "nt", {"shutdown"});
        EXPECT_GE(SecondsSince(start), c.least) << c.detail;
        EXPECT_LE(SecondsSince(start), c.most) << c.detail;
        ASSERT_EQ(0, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.out.find("stop=0")) << c.detail;
        EXPECT_EQ("Unable to shut down the system. Detail[" + std::string(c.detail) + "].\r\n", r.err);
        EXPECT_EQ(1u, failing.Calls().size());
    }
}
#endif
