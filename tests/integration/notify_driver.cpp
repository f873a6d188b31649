// Drives the application object's user notice and shutdown the way the
// monitor does. The tests start it through ClientEnv only:
//   notify_driver <settings file> nt|9x notify <format> <seconds>
//   notify_driver <settings file> nt|9x shutdown
//   notify_driver <settings file> nt|9x command <command> <last argument>
//   notify_driver <settings file> nt|9x hibernate
// A command is started as the event command would be, and waited for; under
// Wine CVN_POWERSHELL_PROGRAM names the PowerShell it gets. Hibernation is
// only for Wine, where it does nothing.
// "nt" or "9x" is the platform the probe must have found (under Wine, the
// Windows version chosen for the program); natively there is nothing to
// probe and the field is set.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app.h"
#include "commands.h"
#include "exception.h"
#include "notify.h"
#if defined(_WIN32)
#include "children.h"
#endif

namespace {

// Natively the recording fakes must be the wall and shutdown that answer: a
// driver started any other way refuses to act on the host.
bool FakesAnswer()
{
#if defined(_WIN32)
    return true;
#else
    const char* fake = std::getenv("CVN_FAKE_BIN");
    const char* path = std::getenv("PATH");
    if (!fake || !path)
        return false;
    bool wallFound = false, shutdownFound = false;
    std::string rest = path;
    for (size_t at = 0; at <= rest.size();) {
        size_t end = rest.find(':', at);
        if (end == std::string::npos)
            end = rest.size();
        const std::string dir = rest.substr(at, end - at);
        at = end + 1;
        std::error_code ignored;
        if (!wallFound && std::filesystem::exists(dir + "/wall", ignored)) {
            wallFound = true;
            if (dir != fake)
                return false;
        }
        if (!shutdownFound && std::filesystem::exists(dir + "/shutdown", ignored)) {
            shutdownFound = true;
            if (dir != fake)
                return false;
        }
    }
    return true;
#endif
}

int Usage()
{
    std::fprintf(stderr, "usage: notify_driver <settings> nt|9x notify <format> <seconds>\n"
                         "       notify_driver <settings> nt|9x shutdown\n"
                         "       notify_driver <settings> nt|9x command <command> <last argument>\n"
                         "       notify_driver <settings> nt|9x hibernate\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return Usage();
    const std::string platform = argv[2];
    const std::string action = argv[3];
    if ((platform != "nt" && platform != "9x") || ((action == "notify" || action == "command") && argc != 6) ||
        (action != "notify" && action != "shutdown" && action != "command" && action != "hibernate"))
        return Usage();
#if !defined(_WIN32)
    if (action == "hibernate")
        return Usage();
#endif
    if (!FakesAnswer()) {
        std::fprintf(stderr, "refused: the recording fakes do not come first on PATH\n");
        return 3;
    }
    // Under Wine the NT shutdown ends the Wine session of the prefix: only
    // tests that run in a prefix of their own may ask for it.
    const bool win9x = platform == "9x";
#if defined(_WIN32)
    if (action == "shutdown" && !win9x && !std::getenv("CVN_SESSION_MAY_END")) {
        std::fprintf(stderr, "refused: this prefix's session must not end\n");
        return 3;
    }
#endif

    std::vector<std::string> words{argv[0], "daemon", "-c", argv[1]};
    std::vector<char*> args;
    for (auto& word : words)
        args.push_back(&word[0]);
    args.push_back(nullptr);

    try {
        CCVNRemoteApp app(static_cast<int>(words.size()), args.data());
        g_pApp = &app;
#if !defined(_WIN32)
        app.m_bWin9x = win9x;
#endif
        if (app.m_bWin9x != win9x) {
            std::fprintf(stderr, "refused: the platform probe found %s\n", app.m_bWin9x ? "9x" : "nt");
            return 3;
        }
        if (action == "notify") {
#if defined(_WIN32)
            if (const char* library = std::getenv("CVN_SESSION_MESSAGE_LIBRARY"))
                cvn::SetSessionMessageLibrary(library);
#endif
            const char* way = app.NotifyUsers(argv[4], std::atoi(argv[5]));
            if (way)
                std::printf("notified by %s\n", way);
            else
                std::printf("not delivered\n");
        } else if (action == "command") {
#if defined(_WIN32)
            cvn::SetPowerShellProgram(std::getenv("CVN_POWERSHELL_PROGRAM"));
#endif
            cvn::CCommandProcess process;
            std::string failure = process.Start(cvn::SplitCommand(argv[4]), {argv[5]},
                                                cvn::CommandEnvironment("sessionmade", cvn::CCommandFacts(), -1));
            if (failure.empty() && !process.Wait(30000, app.m_StopRequest, failure))
                failure = "still running";
            std::printf("command: %s\n", failure.empty() ? "ended" : failure.c_str());
        } else if (action == "hibernate") {
            cvn::CCommands commands;
            std::string failure;
            std::printf("hibernate: %s\n", commands.Hibernate(app.m_StopRequest, failure) ? "done" : failure.c_str());
        } else {
            app.ShutdownSystem();
            std::printf("stop=%d\n", app.m_bStop ? 1 : 0);
        }
        g_pApp = nullptr;
    } catch (CCVNException* error) {
        error->Report();
        delete error;
        return 4;
    }
    return 0;
}
