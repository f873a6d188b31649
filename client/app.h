// The one application object of CVNRemote: the data that every part of the
// client shares, the start-up stages that fill it, and the operations of the
// session, the monitor, the shutdown and the service.
#ifndef CVN_APP_H
#define CVN_APP_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "platform.h"
#include "stop_request.h"

namespace cvn {
class CSettingsSnapshot;
}

class CCVNRemoteApp {
public:
    // Runs the start-up stages: platform probe, command line, settings-file
    // check, trace configuration. Errors of the last three are kept in
    // m_strInitError for the monitor to report; a failed socket start-up
    // throws CCVNException*, the usage text throws cvn::UsageShown.
    CCVNRemoteApp(int argc, char** argv);
    virtual ~CCVNRemoteApp();
    CCVNRemoteApp(const CCVNRemoteApp&) = delete;
    CCVNRemoteApp& operator=(const CCVNRemoteApp&) = delete;

    static CCVNRemoteApp* Instance();

    // Start-up stages.
    void ProbePlatform();
    void ParseCommandLine(int argc, char** argv);
    void ConfigureTracing(const char* fileName);

    // Service hand-over, Windows 9x log file, then the monitor.
    void Run();
    // Ends the socket library's use and closes the four handles.
    void ReleasePlatform();
    bool IsNT();

    // UPS server session: the connected socket, or -1.
    int ConnectToServer();
    // The same, with all its waits together ending within budgetMs (each
    // still at most 10 s): a countdown's deadline is not postponed.
    int ConnectToServer(unsigned long budgetMs);
    // The main loop for one UPS server or several, and the run check
    // between two of its passes.
    void Monitor();
    bool WaitWhileRunning();

    // User messages ("net send", or "msg" where that cannot deliver) and the
    // system shutdown. NotifyUsers names the way that delivered the text, or
    // gives null when none did. ShutdownSystem sets m_bStop once the system
    // has taken the request; a refused request is reported and leaves it
    // clear.
    const char* NotifyUsers(const char* format, int seconds);
    void ShutdownSystem();

    // Service commands and status. The second form stops with the exit
    // codes given; the status record changes only under its lock.
    void InstallService(bool install);
    // "configure": the failure actions of the installed service (restart
    // after a failure), which "install" sets as well.
    void ConfigureService();
    int SetStatus(DWORD state);
    int SetStatus(DWORD state, DWORD win32ExitCode, DWORD specificExitCode);

    // The checks of the set-up that the command line can ask for instead of
    // the monitor ("status", "notice"); their exit status.
    int RunCheck();
    int ShowStatus();
    // "status" with several servers: each UPS on a line, then the computer.
    int ShowSuppliesStatus(const std::vector<std::string>& sections);
    int SendTestNotice();

    bool m_bStop;
    bool m_bWin9x;
    bool m_bService;
    HANDLE m_hPauseEvent;
    HANDLE m_hContinueEvent;
    HANDLE m_hStopEvent;
    HANDLE m_hWorkerThread;
    SERVICE_STATUS m_ServiceStatus;
    SERVICE_STATUS_HANDLE m_hServiceStatus;
    std::string m_strAppDir;
    std::string m_strModulePath;
    std::string m_strInitError;
    std::string m_strIniFile;
    // Raised by the service's stop control; ends every wait of the monitor.
    cvn::CStopRequest m_StopRequest;
    // The settings the running monitor goes by (set by the monitor, on its
    // thread); null before, and then the file is read as ever.
    std::shared_ptr<cvn::CSettingsSnapshot> m_pSettings;
    // The administrator's commands and what they are told.
    cvn::CCommands m_Commands;
    // The catalogue identifier of the error that ended the monitor by itself
    // (a failed start-up, no server address); 0 otherwise. The console
    // program's exit status and the stopped service's exit code tell it.
    DWORD m_dwFailure;
    // The check asked for on the command line, and the text of a test notice
    // (empty: the standard one).
    enum class Check { None, Status, Notice };
    Check m_eCheck;
    std::string m_strNoticeText;

private:
    // Sets and reports the state; the caller holds the status lock.
    int ReportStatus(DWORD state);
};

extern CCVNRemoteApp* g_pApp;
extern bool g_bRunningAsService;
extern FILE* g_pSystemLog;

namespace cvn {

// Thrown by ParseCommandLine after the usage text: not a CCVNException, so
// that the start-up error capture lets it pass and main returns -1.
struct UsageShown {};
// Thrown by the constructor after a failed service command has been
// reported: the process ends with kExitFailed, without the monitor.
struct CommandFailed {};

// Exit status of a run that failed: a service command, the start-up, or a
// monitor that ended by itself.
const int kExitFailed = 1;
// Exit statuses of "status" beside 0 (mains, battery OK) and kExitFailed.
const int kExitOnBattery = 2;
const int kExitBatteryLow = 3;

// The word "daemon", in any letter case.
bool IsDaemonWord(const char* argument);

}  // namespace cvn

#endif
