// Windows code only: user messages through "net send" (or "msg", where "net
// send" no longer delivers) and the system shutdown.
#include <cstdio>
#include <string>

#include "app.h"
#include "notify.h"
#include "qmx/debug.h"

namespace {

// Both programs start without a console of their own and ahead of the
// programs that the coming shutdown is about to interrupt.
const DWORD kStartFlags = DETACHED_PROCESS | HIGH_PRIORITY_CLASS;

// A notice's program that hangs (an unreachable messenger, a stuck console)
// must not hold the monitor: its countdown has to reach the deadline before
// the battery is empty. After this long the program goes on by itself.
const DWORD kNoticeWaitMs = 10000;

class CHandle {
public:
    CHandle() = default;
    ~CHandle()
    {
        if (m_h)
            CloseHandle(m_h);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    HANDLE Get() const { return m_h; }
    HANDLE* Receive() { return &m_h; }

private:
    HANDLE m_h = nullptr;
};

// A program started detached; its handles are closed with the object, the
// process handle first, then the thread handle. Closing them does not end
// the program.
class CStartedProgram {
public:
    CStartedProgram() = default;
    ~CStartedProgram()
    {
        if (m_pi.hProcess)
            CloseHandle(m_pi.hProcess);
        if (m_pi.hThread)
            CloseHandle(m_pi.hThread);
    }
    CStartedProgram(const CStartedProgram&) = delete;
    CStartedProgram& operator=(const CStartedProgram&) = delete;

    // The system may write into the command line, so it gets a copy of its
    // own, as long as the text needs: nothing is ever cut off.
    bool Start(std::string commandLine)
    {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        return CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, kStartFlags,
                              nullptr, nullptr, &startup, &m_pi) != 0;
    }
    HANDLE Process() const { return m_pi.hProcess; }

private:
    PROCESS_INFORMATION m_pi = {};
};

// Waits at most ms for the process to end, or less once a stop is requested;
// true when it has ended.
bool WaitForProgram(HANDLE process, DWORD ms, const cvn::CStopRequest& stop)
{
    const cvn::CWaitTime time(ms);
    for (;;) {
        const unsigned long left = time.Left();
        if (left == 0 || stop.Raised())
            return false;
        if (WaitForSingleObject(process, cvn::StopSlice(&stop, left)) != WAIT_TIMEOUT)
            return true;
    }
}

// Starts a notice's program and gives it kNoticeWaitMs. False when it did not
// deliver: it could not be started, or it ended with a status other than 0
// (the "net send" of every Windows since Vista prints its syntax and ends
// with 1). One that is still running is left to deliver on its own.
bool Deliver(const std::string& commandLine, const cvn::CStopRequest& stop)
{
    CStartedProgram program;
    if (!program.Start(commandLine))
        return false;
    if (!WaitForProgram(program.Process(), kNoticeWaitMs, stop)) {
        if (!stop.Raised())
            qmx::CDebug::Trace(qmx::CDebug::TraceError, "%s has not ended after %lu seconds, going on without it\n",
                               commandLine.substr(0, commandLine.find(' ')).c_str(),
                               static_cast<unsigned long>(kNoticeWaitMs / 1000));
        return true;
    }
    DWORD status = 0;
    return GetExitCodeProcess(program.Process(), &status) && status == 0;
}

bool RunsUnderWow64()
{
    // Looked up, not imported: the first Windows versions of the NT family
    // do not have it.
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    IsWow64ProcessFn isWow64 =
        kernel ? reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
               : nullptr;
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// "msg" as the system can find it. For a 32-bit program on 64-bit Windows
// System32 shows the 32-bit folder, which has no msg.exe: the Sysnative
// alias reaches the real one. A msg.exe in the program's own folder, which
// CreateProcessA searches first, is still taken by its name.
std::string MsgProgram(const std::string& appDir)
{
    if (!RunsUnderWow64() || GetFileAttributesA((appDir + "msg.exe").c_str()) != INVALID_FILE_ATTRIBUTES)
        return "msg";
    char windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows)
        return "msg";
    return "\"" + std::string(windows, length) + "\\Sysnative\\msg.exe\"";
}

bool EnableShutdownPrivilege()
{
    CHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          token.Receive()))
        return false;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A failed look-up leaves an identifier of zero, which the adjustment
    // refuses: that failure is the one acted on.
    LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    return AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) != 0;
}

}  // namespace

const char* CCVNRemoteApp::NotifyUsers(const char* format, int seconds)
{
    // Windows 9x has no messenger service to deliver the text.
    if (m_bWin9x)
        return nullptr;

    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof computer;
    if (!GetComputerNameA(computer, &size))
        return nullptr;

    // Both take everything after the addressee as the message: no quotes.
    const std::string text = cvn::FormatNotice(format, seconds);
    if (Deliver("net send " + std::string(computer, size) + " " + text, m_StopRequest))
        return "net send";
    if (m_StopRequest.Raised())
        return nullptr;
    qmx::CDebug::Trace(qmx::CDebug::TraceDetail, "net send did not deliver, trying msg\n");
    return Deliver(MsgProgram(m_strAppDir) + " * " + text, m_StopRequest) ? "msg" : nullptr;
}

void CCVNRemoteApp::ShutdownSystem()
{
    if (m_bWin9x) {
        // The helper asks for the shutdown; when it cannot be started the
        // box says so, and the monitor ends all the same.
        m_bStop = true;
        // Quoted: unquoted, a folder with a blank in its name ("C:\Program
        // Files\...") makes the system try another program ("C:\Program.exe")
        // first. Not waited for: it ends the session this process runs in.
        CStartedProgram helper;
        if (!helper.Start("\"" + m_strAppDir + "CVNShutdown.exe\""))
            MessageBoxA(nullptr, "Failed OS Shutdown", nullptr, MB_OK);
        return;
    }

    // Programs that hang would otherwise hold the shutdown back forever.
    const BOOL requested = EnableShutdownPrivilege() ? ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCEIFHUNG, 0)
                                                     : ExitWindowsEx(EWX_LOGOFF, 0xFFFFFFFF);
    if (requested) {
        m_bStop = true;
        return;
    }
    // Refused (an account without the shutdown privilege, say): on record,
    // and the monitor goes on, asking again while the UPS is on battery.
    cvn::ReportShutdownFailed(cvn::SystemErrorText(GetLastError()));
}
