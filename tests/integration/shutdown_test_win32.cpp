// Windows code only: the shutdown requests themselves, in a Wine prefix of their own.
//
// Wine turns ExitWindowsEx into a start of wineboot.exe whose arguments carry
// the flags (--force for EWX_FORCEIFHUNG, --shutdown unless a reboot is
// asked for); WINEDEBUG=+process shows that start. It ends the Wine session
// of the prefix, which is why this program runs in a prefix of its own.
// Wine's debug channels write to the Unix standard error, which every
// process started from here shares: wine_trace.sh puts it in a file, and
// each test reads the part that its own children wrote.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "support/client_env.h"

using namespace cvntest;

namespace {

// The trace file, by its Unix path through Wine's drive Z:.
std::string TracePath()
{
    const char* unixPath = std::getenv("CVN_WINE_TRACE");
    if (!unixPath || unixPath[0] != '/')
        return std::string();
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// Runs a program of the build in env; its result's err ends with what it and
// the programs it started traced meanwhile.
ProcessResult RunTraced(const ClientEnv& env, const std::string& program,
                        const std::vector<std::string>& args, const char* channels)
{
    const std::string trace = TracePath();
    if (trace.empty())
        throw std::runtime_error("CVN_WINE_TRACE names no file: run this program through ctest");
    const size_t before = ReadFile(trace).size();
    RunOptions options;
    options.env["WINEDEBUG"] = channels;
    options.env["CVN_SESSION_MAY_END"] = "1";
    ProcessResult r = env.Run(program, args, 60000, options);
    r.err += "\n--- Wine trace ---\n" + ReadFile(trace).substr(before);
    return r;
}

ProcessResult DriveShutdown(const ClientEnv& env, const std::string& platform,
                            const char* channels)
{
    const std::string settings = env.File("CVNRemote.ini");
    WriteFile(settings, "[Settings]\n");
    return RunTraced(env, "notify_driver", {settings, platform, "shutdown"}, channels);
}

// The arguments of every wineboot.exe start in a +process trace.
std::vector<std::string> WinebootStarts(const std::string& trace)
{
    std::vector<std::string> starts;
    const std::string marker = "wineboot.exe";
    for (size_t at = trace.find("CreateProcessInternalW"); at != std::string::npos;
         at = trace.find("CreateProcessInternalW", at + 1)) {
        const size_t lineEnd = trace.find('\n', at);
        const std::string line = trace.substr(at, lineEnd - at);
        const size_t cmdline = line.find("cmdline L\"");
        if (cmdline == std::string::npos)
            continue;
        const size_t program = line.find(marker, cmdline);
        const size_t close = line.find('"', cmdline + 10);
        if (program == std::string::npos || close == std::string::npos || program > close)
            continue;
        starts.push_back(line.substr(program + marker.size(), close - program - marker.size()));
    }
    return starts;
}

}  // namespace

TEST(ShutdownHelper, AsksForAPlainShutdownAndEndsWithZeroWhateverItsArguments)
{
    ClientEnv::Options options;
    options.helper = ClientEnv::Helper::Real;
    ClientEnv env(options);
    const std::vector<std::vector<std::string>> commandLines = {
        {}, {"-c", "C:\\other.ini", "/force"}, {"reboot now", "\"quoted\""}};
    for (const auto& args : commandLines) {
        ProcessResult r = RunTraced(env, "CVNShutdown", args, "+process");
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(0, r.exitCode);
        // EWX_SHUTDOWN alone: neither --force (EWX_FORCEIFHUNG) nor --kill
        // (EWX_FORCE), and no reboot.
        const std::vector<std::string> starts = WinebootStarts(r.err);
        ASSERT_EQ(1u, starts.size()) << r.err;
        EXPECT_EQ(" --end-session --shutdown", starts[0]);
    }
}

TEST(SystemShutdown, NtFamilyAsksForAShutdownThatForcesHungPrograms)
{
    ClientEnv env;
    ProcessResult r = DriveShutdown(env, "nt", "+process");
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stop=1"));
    const std::vector<std::string> starts = WinebootStarts(r.err);
    ASSERT_EQ(1u, starts.size()) << r.err;
    EXPECT_EQ(" --end-session --force --shutdown", starts[0]);
    // Nothing of the Windows 9x way.
    EXPECT_TRUE(env.Calls().empty());
}

// Without a display Wine's message box returns at once; its relay trace
// shows the call with its arguments.
TEST(SystemShutdown, Windows9xWithoutTheHelperShowsTheMessageAndStillStops)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Debug", 0,
                                             nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
    const char relay[] = "user32.MessageBoxA";
    RegSetValueExA(key, "RelayInclude", 0, REG_SZ, reinterpret_cast<const BYTE*>(relay),
                   sizeof relay);
    RegCloseKey(key);

    ClientEnv::Options options;
    options.helper = ClientEnv::Helper::Missing;
    options.windowsVersion = "win98";
    ClientEnv env(options);
    ProcessResult r = DriveShutdown(env, "9x", "+relay,+process");
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stop=1"));
    // No owner, the text, the default caption, MB_OK.
    EXPECT_NE(std::string::npos,
              r.err.find("Call user32.MessageBoxA(00000000,"));
    EXPECT_NE(std::string::npos, r.err.find(" \"Failed OS Shutdown\",00000000,00000000)"));
    // No shutdown of any kind, and the trap "cvn.exe" was not started either.
    EXPECT_TRUE(WinebootStarts(r.err).empty());
    EXPECT_TRUE(env.Calls().empty());
}
