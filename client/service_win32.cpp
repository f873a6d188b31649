// Windows code only: the client as a Windows service.
#include "service.h"

#include <cstdlib>
#include <cstdio>
#include <mutex>
#include <string>

#include "app.h"
#include "exception.h"
#include "qmx/debug.h"
#include "sync.h"

using qmx::CDebug;

namespace {

// How long the service manager is told a stop may take: the worker's waits
// all end within a slice of the stop request, and it then ends its pass.
const DWORD kStopWaitHintMs = 5000;
// The control handler and the worker both report the status: the record,
// exit codes included, changes only under this lock.
cvn::CLock g_statusLock;

// Closes the handles it holds, the service's before the manager's.
class CServiceHandles {
public:
    ~CServiceHandles()
    {
        if (m_hService)
            CloseServiceHandle(m_hService);
        if (m_hManager)
            CloseServiceHandle(m_hManager);
    }
    SC_HANDLE m_hManager = nullptr;
    SC_HANDLE m_hService = nullptr;
};

// Takes the last error before the handles are closed (closing may change
// it), then throws it.
[[noreturn]] void ThrowLastError(CServiceHandles& handles)
{
    DWORD error = GetLastError();
    if (handles.m_hService)
        CloseServiceHandle(handles.m_hService);
    if (handles.m_hManager)
        CloseServiceHandle(handles.m_hManager);
    handles.m_hService = handles.m_hManager = nullptr;
    throw new CCVNException(error, 0);
}

// What the service manager does when the service fails: restart it after a
// minute, again after a minute, then every five minutes, counted afresh
// after a day without a failure. ChangeServiceConfig2A came with Windows
// 2000 and is looked up: NT 4.0 has no failure actions, and a client that
// imported it would not load there.
const DWORD kRestartFirstMs = 60000;
const DWORD kRestartSecondMs = 60000;
const DWORD kRestartThenMs = 300000;
const DWORD kFailureResetSeconds = 86400;

#if !defined(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
#define SERVICE_CONFIG_FAILURE_ACTIONS_FLAG 4
#endif

typedef BOOL(WINAPI* ChangeServiceConfig2Fn)(SC_HANDLE, DWORD, LPVOID);

// False with the last error when the system took the actions and refused
// them; true when they are set, or when this system cannot keep them (no
// such function, or a service manager that does not know the level, such
// as Wine's): there is nothing better to do than go on without.
bool SetFailureActions(SC_HANDLE service)
{
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    ChangeServiceConfig2Fn change =
        advapi ? reinterpret_cast<ChangeServiceConfig2Fn>(
                     reinterpret_cast<void*>(GetProcAddress(advapi, "ChangeServiceConfig2A")))
               : nullptr;
    if (!change) {
        CDebug::Trace(CDebug::TraceInfo, "No ChangeServiceConfig2A: the service has no failure actions\n");
        return true;
    }

    SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, kRestartFirstMs},
        {SC_ACTION_RESTART, kRestartSecondMs},
        {SC_ACTION_RESTART, kRestartThenMs},
    };
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = kFailureResetSeconds;
    failure.lpRebootMsg = nullptr;
    failure.lpCommand = nullptr;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    const BOOL set = change(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    const DWORD error = set ? 0 : GetLastError();
    CDebug::Trace(CDebug::TraceDetail,
                  "ChangeServiceConfig2A(SERVICE_CONFIG_FAILURE_ACTIONS, reset %lu s, restart %lu ms, %lu ms, "
                  "%lu ms): %s %lu\n",
                  static_cast<unsigned long>(kFailureResetSeconds), static_cast<unsigned long>(kRestartFirstMs),
                  static_cast<unsigned long>(kRestartSecondMs), static_cast<unsigned long>(kRestartThenMs),
                  set ? "done" : "error", static_cast<unsigned long>(error));
    if (!set && error != ERROR_INVALID_LEVEL && error != ERROR_CALL_NOT_IMPLEMENTED &&
        error != ERROR_NOT_SUPPORTED) {
        SetLastError(error);
        return false;
    }

    // Vista and later: an exit with an error code counts as a failure too,
    // not only a crash. Older systems do not know the level.
    // Declared here: the headers offer it only to programs for Vista.
    struct {
        BOOL fFailureActionsOnNonCrashFailures;
    } flag = {TRUE};
    const BOOL flagged = change(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    CDebug::Trace(CDebug::TraceDetail, "ChangeServiceConfig2A(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, TRUE): %s %lu\n",
                  flagged ? "done" : "error", static_cast<unsigned long>(flagged ? 0 : GetLastError()));
    return true;
}

[[noreturn]] void Succeed(CServiceHandles& handles, const char* confirmation)
{
    if (handles.m_hService)
        CloseServiceHandle(handles.m_hService);
    handles.m_hService = nullptr;
    std::printf("%s\n", confirmation);
    std::fflush(stdout);
    CloseServiceHandle(handles.m_hManager);
    handles.m_hManager = nullptr;
    exit(0);
}

}  // namespace

namespace cvn {

bool RunServiceDispatcher(CCVNRemoteApp& app)
{
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<char*>(kServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    CDebug::Trace(CDebug::TraceDetail, "Trying to start as a service...\n");
    if (StartServiceCtrlDispatcherA(table)) {
        // The worker's last act was to report STOPPED; the application
        // object it used goes only once the worker has ended.
        if (app.m_hWorkerThread)
            WaitForSingleObject(app.m_hWorkerThread, kStopWaitHintMs);
        CDebug::Trace(CDebug::TraceInfo, "Started as a service\n");
        return true;
    }
    DWORD error = GetLastError();
    CDebug::Trace(CDebug::TraceInfo, "Failed to start as a service\n");
    if (error != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        throw new CCVNException(error, 0);

    // Not started by the service manager: a console program.
    app.m_bService = false;
    CDebug::SetConsoleOutput(true);
    return false;
}

}  // namespace cvn

void CCVNRemoteApp::InstallService(bool install)
{
    CServiceHandles handles;
    handles.m_hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!handles.m_hManager)
        ThrowLastError(handles);

    if (install) {
        // Quoted, so that a program folder with blanks in its name works.
        std::string command = "\"" + m_strModulePath + "\"";
        // The failure actions need the change right, their restarts the
        // start right.
        handles.m_hService = CreateServiceA(handles.m_hManager, cvn::kServiceName, cvn::kServiceName,
                                            STANDARD_RIGHTS_REQUIRED | SERVICE_CHANGE_CONFIG | SERVICE_START,
                                            SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                            nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!handles.m_hService)
            ThrowLastError(handles);
        // Registered even if the actions are refused: the service runs
        // without them, and "configure" can set them later.
        if (!SetFailureActions(handles.m_hService))
            CCVNException(GetLastError(), 0).Report();
        Succeed(handles, "Service installed.");
    }

    handles.m_hService = OpenServiceA(handles.m_hManager, cvn::kServiceName, DELETE);
    if (!handles.m_hService || !DeleteService(handles.m_hService))
        ThrowLastError(handles);
    Succeed(handles, "Service removed.");
}

void CCVNRemoteApp::ConfigureService()
{
    CServiceHandles handles;
    handles.m_hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!handles.m_hManager)
        ThrowLastError(handles);
    handles.m_hService = OpenServiceA(handles.m_hManager, cvn::kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (!handles.m_hService || !SetFailureActions(handles.m_hService))
        ThrowLastError(handles);
    Succeed(handles, "Service configured.");
}

void ControlServiceCommand(int command)
{
    CServiceHandles handles;
    handles.m_hManager = OpenSCManagerA(nullptr, nullptr, STANDARD_RIGHTS_REQUIRED);
    if (!handles.m_hManager)
        ThrowLastError(handles);
    handles.m_hService = OpenServiceA(handles.m_hManager, cvn::kServiceName,
                                      SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE);
    if (!handles.m_hService)
        ThrowLastError(handles);

    SERVICE_STATUS status;
    BOOL ok;
    switch (command) {
    case 1: ok = ControlService(handles.m_hService, SERVICE_CONTROL_STOP, &status); break;
    case 2: ok = ControlService(handles.m_hService, SERVICE_CONTROL_PAUSE, &status); break;
    case 3: ok = ControlService(handles.m_hService, SERVICE_CONTROL_CONTINUE, &status); break;
    default: ok = StartServiceA(handles.m_hService, 0, nullptr); break;
    }
    if (!ok)
        ThrowLastError(handles);
    Succeed(handles, "Service control succeeded.");
}

void WINAPI ServiceMain(DWORD, LPSTR*)
{
    g_bRunningAsService = true;
    CCVNRemoteApp* app = CCVNRemoteApp::Instance();
    try {
        // The events and the (suspended) worker exist before the control
        // handler can be called, so that no control meets a null handle.
        app->m_hPauseEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        app->m_hContinueEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        app->m_hStopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        DWORD error = GetLastError();
        // Windows 95/98 refuse a null thread-id pointer.
        DWORD workerId = 0;
        app->m_hWorkerThread = CreateThread(nullptr, 0, MonitorThread, nullptr, CREATE_SUSPENDED, &workerId);
        if (!app->m_hWorkerThread)
            error = GetLastError();

        app->m_hServiceStatus = RegisterServiceCtrlHandlerA(cvn::kServiceName, ServiceCtrlHandler);
        if (!app->m_hServiceStatus)
            throw new CCVNException();
        app->SetStatus(SERVICE_START_PENDING);

        if (!app->m_hPauseEvent || !app->m_hContinueEvent || !app->m_hStopEvent || !app->m_hWorkerThread) {
            app->SetStatus(SERVICE_STOPPED, error, 0xFFFFFFFF);
            throw new CCVNException(error, 0);
        }

        // RUNNING is reported before the worker starts: STOPPED, which the
        // worker reports when it ends, can never come before it.
        RegisterEventSource();
        app->SetStatus(SERVICE_RUNNING);
        ResumeThread(app->m_hWorkerThread);
    } catch (CCVNException* error) {
        error->ReportToEventLog();
        delete error;
    }
}

void WINAPI ServiceCtrlHandler(DWORD control)
{
    CCVNRemoteApp* app = CCVNRemoteApp::Instance();
    switch (control) {
    case SERVICE_CONTROL_STOP:
        // The handler does not wait: the service manager would give up on
        // a service that takes 30 s. STOP_PENDING goes out first, so that
        // the worker's STOPPED always follows it.
        if (app->m_StopRequest.Raised())
            break;
        app->SetStatus(SERVICE_STOP_PENDING);
        app->m_StopRequest.Raise();
        SetEvent(app->m_hStopEvent);
        break;
    case SERVICE_CONTROL_PAUSE:
        SetEvent(app->m_hPauseEvent);
        app->SetStatus(SERVICE_PAUSED);
        break;
    case SERVICE_CONTROL_CONTINUE:
        SetEvent(app->m_hContinueEvent);
        app->SetStatus(SERVICE_RUNNING);
        break;
    default:
        break;
    }
}

DWORD WINAPI MonitorThread(LPVOID)
{
    CCVNRemoteApp* app = CCVNRemoteApp::Instance();
    DWORD result = 0xFFFFFFFF;
    DWORD failure = 0xFFFFFFFF;
    try {
        app->Monitor();
        result = 0;
        failure = app->m_dwFailure;
    } catch (CCVNException* error) {
        error->ReportToEventLog();
        failure = error->m_dwMessageId;
        delete error;
    } catch (...) {
    }
    // However the monitor ended, the service ends with it: one that ended
    // by itself (a failed start-up, no server address) stops with the
    // catalogue identifier of its error, instead of reading RUNNING while
    // it protects nothing.
    if (failure != 0)
        app->SetStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, failure);
    else
        app->SetStatus(SERVICE_STOPPED);
    return result;
}

int CCVNRemoteApp::SetStatus(DWORD state)
{
    std::lock_guard<cvn::CLock> lock(g_statusLock);
    return ReportStatus(state);
}

int CCVNRemoteApp::SetStatus(DWORD state, DWORD win32ExitCode, DWORD specificExitCode)
{
    std::lock_guard<cvn::CLock> lock(g_statusLock);
    // Only a stop carries exit codes: a stopped or stopping service keeps
    // the ones it has.
    const DWORD current = m_ServiceStatus.dwCurrentState;
    if (current != SERVICE_STOPPED && (current != SERVICE_STOP_PENDING || state == SERVICE_STOPPED)) {
        m_ServiceStatus.dwWin32ExitCode = win32ExitCode;
        m_ServiceStatus.dwServiceSpecificExitCode = specificExitCode;
    }
    return ReportStatus(state);
}

int CCVNRemoteApp::ReportStatus(DWORD state)
{
    // Once stopping, only STOPPED may follow (a pause or continue handled
    // meanwhile must not bring the service back); once stopped, nothing.
    const DWORD current = m_ServiceStatus.dwCurrentState;
    if (current == SERVICE_STOPPED || (current == SERVICE_STOP_PENDING && state != SERVICE_STOPPED))
        return 0;
    m_ServiceStatus.dwCurrentState = state;
    const bool stopping = state == SERVICE_STOP_PENDING;
    m_ServiceStatus.dwCheckPoint = stopping ? 1 : 0;
    m_ServiceStatus.dwWaitHint = stopping ? kStopWaitHintMs : 0;
    // A stopping or stopped service takes no more controls.
    const bool ending = stopping || state == SERVICE_STOPPED;
    m_ServiceStatus.dwControlsAccepted = ending ? DWORD(0) : DWORD(cvn::kServiceAcceptStopPauseContinue);
    return SetServiceStatus(m_hServiceStatus, &m_ServiceStatus);
}

void RegisterEventSource()
{
    std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
                      cvn::kServiceName;
    HKEY hKey;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, key.c_str(), &hKey) != ERROR_SUCCESS)
        return;
    const std::string& file = CCVNRemoteApp::Instance()->m_strModulePath;
    RegSetValueExA(hKey, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                   static_cast<DWORD>(file.size() + 1));
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(hKey, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(hKey);
}

bool CCVNRemoteApp::WaitWhileRunning()
{
    if (!m_bService)
        return !m_bStop;

    // The test consumes the pause signal (auto-reset events); paused, the
    // stop event is listed first so that it wins over a continue.
    if (WaitForSingleObject(m_hPauseEvent, 0) == WAIT_OBJECT_0) {
        HANDLE events[2] = {m_hStopEvent, m_hContinueEvent};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0)
            return false;
        return !m_bStop;
    }
    if (WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0 || m_StopRequest.Raised())
        return false;
    return !m_bStop;
}
