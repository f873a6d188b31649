// The application object: start-up stages, the console path of Run, and
// clean-up.
#include "app.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "children.h"
#include "exception.h"
#include "ini_file.h"
#include "os.h"
#include "qmx/debug.h"
#include "service.h"
#include "setup_trust.h"

using qmx::CDebug;

namespace {

bool SameWord(const char* argument, const char* word)
{
    for (; *argument && *word; ++argument, ++word) {
        if (tolower(static_cast<unsigned char>(*argument)) != tolower(static_cast<unsigned char>(*word)))
            return false;
    }
    return *argument == *word;
}

// "-c", "/C", "-config", ...: told by the first two characters alone.
bool IsSettingsOption(const char* argument)
{
    return (argument[0] == '-' || argument[0] == '/') && (argument[1] == 'c' || argument[1] == 'C');
}

void WriteUsage(bool win9x)
{
    std::fputs("Usage:   CVNRemote [options]\n", stderr);
    std::fputs("Options: -c file  Initialization file, defaults to \".\\CVNRemote.ini\".\n", stderr);
    std::fputs("         daemon   Run as a daemon.\n", stderr);
    if (!win9x) {
        std::fputs("         install  Install as a service.\n", stderr);
        std::fputs("         remove   Remove as a service.\n", stderr);
        std::fputs("         start    Start service.\n", stderr);
        std::fputs("         stop     Stop service.\n", stderr);
        std::fputs("         pause    Pause service.\n", stderr);
        std::fputs("         resume   Resume service.\n", stderr);
        std::fputs("         configure Set the service to restart after a failure.\n", stderr);
        std::fputs("         trust folder  Check a folder before a setup takes it.\n", stderr);
        std::fputs("         lock folder   Lock a folder for the service, after trust.\n", stderr);
        std::fputs("         msibegin, msisettings, msiend  Steps of the installer package.\n", stderr);
    }
    std::fputs("         status   Show what the UPS server reports now.\n", stderr);
    std::fputs("         notice   Send a test notice to the users; a text may follow.\n", stderr);
    std::fputs("\n", stderr);
}

}  // namespace

namespace cvn {

bool IsDaemonWord(const char* argument)
{
    return argument && SameWord(argument, "daemon");
}

}  // namespace cvn

CCVNRemoteApp::CCVNRemoteApp(int argc, char** argv) : m_bStop(false), m_dwFailure(0), m_eCheck(Check::None)
{
    ProbePlatform();
    try {
        ParseCommandLine(argc, argv);
    } catch (CCVNException* error) {
        // A service command failed: reported as a failed start, and the
        // process ends there, without the monitor, so that scripts and
        // installers see the failure in the exit status.
        error->GetMessage(m_strInitError);
        delete error;
        CCVNException(MSG_INIT_FAILED, 1, m_strInitError.c_str()).Report();
        ReleasePlatform();
        throw cvn::CommandFailed();
    }
    try {
        FILE* check = fopen(m_strIniFile.c_str(), "r+");
        if (!check)
            throw new CCVNException(MSG_INI_LOAD_FAILED, 1, m_strIniFile.c_str());
        fclose(check);

        // A check leaves the trace file alone: it may be the running
        // service's.
        if (m_eCheck == Check::None)
            ConfigureTracing("agtrace.log");
    } catch (CCVNException* error) {
        // Start-up goes on: the monitor reports the text and ends.
        error->GetMessage(m_strInitError);
        ReleasePlatform();
        delete error;
    }
}

CCVNRemoteApp::~CCVNRemoteApp()
{
    ReleasePlatform();
    if (g_pSystemLog) {
        fclose(g_pSystemLog);
        g_pSystemLog = nullptr;
    }
}

CCVNRemoteApp* CCVNRemoteApp::Instance()
{
    return g_pApp;
}

void CCVNRemoteApp::ProbePlatform()
{
    m_bWin9x = cvn::os::IsWin9x();
    m_bService = false;

    m_hPauseEvent = nullptr;
    m_hContinueEvent = nullptr;
    m_hStopEvent = nullptr;
    m_hWorkerThread = nullptr;
    m_hServiceStatus = nullptr;
    m_ServiceStatus.dwServiceType = cvn::kServiceWin32;
    m_ServiceStatus.dwCurrentState = cvn::kServiceStartPending;
    m_ServiceStatus.dwControlsAccepted = cvn::kServiceAcceptStopPauseContinue;
    m_ServiceStatus.dwWin32ExitCode = 0;
    m_ServiceStatus.dwServiceSpecificExitCode = 0;
    m_ServiceStatus.dwCheckPoint = 0;
    m_ServiceStatus.dwWaitHint = 0;

    // A program path that does not fit is a start-up failure with the
    // system's own text, never a path silently cut into another one.
    std::string fullPath;
    DWORD error = cvn::os::ModulePath(m_strModulePath);
    if (error == 0)
        error = cvn::os::FullPath(m_strModulePath, fullPath);
    if (error != 0)
        throw new CCVNException(error, 0);
    m_strAppDir = fullPath.substr(0, fullPath.rfind(cvn::os::Separator()) + 1);
    m_strIniFile = m_strAppDir + "CVNRemote.ini";

    if (!cvn::os::StartSockets())
        throw new CCVNException(MSG_SOCKET_INIT_FAILED, 0);
}

void CCVNRemoteApp::ParseCommandLine(int argc, char** argv)
{
    m_bService = !m_bWin9x;
    bool releaseConsole = m_bWin9x;

    bool noticeText = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i] ? argv[i] : "";
        // After a check's word only the settings option, and a notice's one
        // text, may follow: no word acts on the service any more.
        if (m_eCheck != Check::None) {
            if (IsSettingsOption(argument)) {
                if (i + 1 < argc && argv[i + 1]) {
                    m_strIniFile = argv[++i];
                    continue;
                }
            } else if (m_eCheck == Check::Notice && !noticeText) {
                m_strNoticeText = argument;
                noticeText = true;
                continue;
            }
            WriteUsage(m_bWin9x);
            throw cvn::UsageShown();
        }
        if (SameWord(argument, "status") || SameWord(argument, "notice")) {
            m_eCheck = SameWord(argument, "status") ? Check::Status : Check::Notice;
            // A check answers in this console, on Windows 9x too.
            releaseConsole = false;
            continue;
        }
        if (!m_bWin9x) {
            if (SameWord(argument, "daemon")) {
                m_bService = false;
                continue;
            }
            // The service commands end the process when they succeed and
            // throw when they fail.
            if (SameWord(argument, "install")) {
                InstallService(true);
                continue;
            }
            if (SameWord(argument, "remove")) {
                InstallService(false);
                continue;
            }
            if (SameWord(argument, "configure")) {
                ConfigureService();
                continue;
            }
            // The setup verbs take all that follows and end the process
            // with their status; they throw where there are none.
            if (cvn::IsSetupVerb(argument)) {
                std::vector<std::string> arguments;
                for (int next = i + 1; next < argc; ++next)
                    arguments.push_back(argv[next] ? argv[next] : "");
                std::exit(cvn::RunSetupVerb(argument, arguments));
            }
            static const char* const commands[] = {"start", "stop", "pause", "resume"};
            bool matched = false;
            for (int command = 0; command < 4 && !matched; ++command) {
                if (SameWord(argument, commands[command])) {
                    ControlServiceCommand(command);
                    matched = true;
                }
            }
            if (matched)
                continue;
        } else if (SameWord(argument, "daemon")) {
            releaseConsole = false;
            continue;
        }

        if (IsSettingsOption(argument) && i + 1 < argc && argv[i + 1]) {
            m_strIniFile = argv[++i];
            continue;
        }

        // A rejected argument stops the walk; nothing after it is looked at.
        WriteUsage(m_bWin9x);
        throw cvn::UsageShown();
    }

    if (releaseConsole)
        cvn::os::FreeConsole();
}

void CCVNRemoteApp::ConfigureTracing(const char* fileName)
{
    CINIFile ini(m_strIniFile.c_str());
    int on = ini.GetInt("Debug", "On", 0);
    int level = ini.GetInt("Debug", "Level", 2);
    if (on != 1)
        return;

    CDebug::ClearOutput();
    std::string path = m_strAppDir + fileName;
    CDebug::Trace(CDebug::TraceDetail, "Tracing to file [%s]\n", path.c_str());
    CDebug::SetDefaultOutput(cvn::OpenOwnFile(path.c_str(), "w"));
    // Still at level 3: always the first line of a new trace file.
    CDebug::Trace(CDebug::TraceDetail, "Set Trace level to [%d]\n", level);
    CDebug::SetTraceLevel(static_cast<CDebug::TraceLevel>(level));
}

void CCVNRemoteApp::Run()
{
    if (m_bService && cvn::RunServiceDispatcher(*this))
        return;

    if (!Instance()->IsNT()) {
        g_pSystemLog = fopen((std::string(cvn::kServiceName) + ".log").c_str(), "w");
        // The stream's whole value, also where pointers have 64 bits.
        CDebug::Trace(CDebug::TraceDetail, "Open Win9x system log file: 0x%llX=fopen(%s.log, w)\n",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(g_pSystemLog)),
                      cvn::kServiceName);
    }

    Monitor();
}

void CCVNRemoteApp::ReleasePlatform()
{
    cvn::os::StopSockets();
    HANDLE* handles[] = {&m_hPauseEvent, &m_hContinueEvent, &m_hStopEvent, &m_hWorkerThread};
    for (HANDLE* handle : handles) {
        if (*handle) {
            cvn::os::CloseHandle(*handle);
            *handle = nullptr;
        }
    }
    m_hServiceStatus = nullptr;
}

bool CCVNRemoteApp::IsNT()
{
    return !m_bWin9x;
}
