// POSIX code only: stand-ins for the service integration. A native process
// is never started by a service manager, and the service commands fail with
// the system's "not supported" error.
#include "service.h"

#include <cerrno>

#include "app.h"
#include "exception.h"
#include "qmx/debug.h"

using qmx::CDebug;

namespace cvn {

bool RunServiceDispatcher(CCVNRemoteApp& app)
{
    CDebug::Trace(CDebug::TraceDetail, "Trying to start as a service...\n");
    CDebug::Trace(CDebug::TraceInfo, "Failed to start as a service\n");
    app.m_bService = false;
    CDebug::SetConsoleOutput(true);
    return false;
}

}  // namespace cvn

void CCVNRemoteApp::InstallService(bool)
{
    throw new CCVNException(ENOTSUP, 0);
}

void CCVNRemoteApp::ConfigureService()
{
    throw new CCVNException(ENOTSUP, 0);
}

void ControlServiceCommand(int)
{
    throw new CCVNException(ENOTSUP, 0);
}

int CCVNRemoteApp::SetStatus(DWORD state)
{
    return ReportStatus(state);
}

int CCVNRemoteApp::SetStatus(DWORD state, DWORD win32ExitCode, DWORD specificExitCode)
{
    m_ServiceStatus.dwWin32ExitCode = win32ExitCode;
    m_ServiceStatus.dwServiceSpecificExitCode = specificExitCode;
    return ReportStatus(state);
}

int CCVNRemoteApp::ReportStatus(DWORD state)
{
    m_ServiceStatus.dwCurrentState = state;
    return 0;
}

bool CCVNRemoteApp::WaitWhileRunning()
{
    return !m_bStop;
}
