// Windows code only: user messages through "net send" (or "msg", where "net
// send" no longer delivers) and the system shutdown.
#include <cstdio>
#include <string>

#include "app.h"
#include "children.h"
#include "looked_up.h"
#include "notify.h"
#include "qmx/debug.h"

#include <wtsapi32.h>

namespace {

// Both programs start without a console of their own and ahead of the
// programs that the coming shutdown is about to interrupt.
const DWORD kStartFlags = DETACHED_PROCESS | HIGH_PRIORITY_CLASS;

// A notice's ways that hang (an unreachable messenger, a stuck console)
// must not hold the monitor: its countdown has to reach the deadline before
// the battery is empty. All the ways of one notice share this long; a
// program still running then goes on by itself.
const DWORD kNoticeWaitMs = 10000;

// The library of the terminal services' message box: the system folder's
// wtsapi32.dll when empty; tests name one of their own.
std::string g_strSessionMessageLibrary;

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
    HANDLE handles[2] = {process, stop.Event().Handle()};
    return WaitForMultipleObjects(2, handles, FALSE, ms) == WAIT_OBJECT_0;
}

// Starts a notice's program and gives it what is left of the notice's time.
// False when it did not deliver: it could not be started, or it ended with a
// status other than 0 (the "net send" of every Windows since Vista prints
// its syntax and ends with 1). One that is still running is left to deliver
// on its own.
bool Deliver(const std::string& commandLine, const cvn::CWaitTime& time, const cvn::CStopRequest& stop)
{
    CStartedProgram program;
    if (!program.Start(commandLine))
        return false;
    if (!WaitForProgram(program.Process(), time.Left(), stop)) {
        if (!stop.Raised())
            qmx::CDebug::Trace(qmx::CDebug::TraceError, "%s has not ended within the notice's %lu seconds, going on without it\n",
                               commandLine.substr(0, commandLine.find(' ')).c_str(),
                               static_cast<unsigned long>(kNoticeWaitMs / 1000));
        return true;
    }
    DWORD status = 0;
    return GetExitCodeProcess(program.Process(), &status) && status == 0;
}

// The text in a message box on every active session's desktop, the way that
// reaches the users of the Windows editions that have neither the messenger
// nor msg.exe. Looked up, not imported: Windows 9x and NT 4.0 have no such
// library, and the program must load there. The boxes are not waited for.
bool SendToSessions(const std::string& text)
{
    typedef BOOL(WINAPI * EnumerateFn)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOA*, DWORD*);
    typedef BOOL(WINAPI * SendFn)(HANDLE, DWORD, LPSTR, DWORD, LPSTR, DWORD, DWORD, DWORD, DWORD*, BOOL);
    typedef void(WINAPI * FreeFn)(PVOID);
    const std::string name = g_strSessionMessageLibrary.empty() ? "wtsapi32.dll" : g_strSessionMessageLibrary;
    const HMODULE library = g_strSessionMessageLibrary.empty() ? cvn::LoadSystemLibrary("wtsapi32.dll")
                                                               : LoadLibraryA(name.c_str());
    if (!library) {
        qmx::CDebug::Trace(qmx::CDebug::TraceDetail, "%s is not there, no message box\n", name.c_str());
        return false;
    }
    auto find = [library](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(library, name));
    };
    const EnumerateFn enumerate = reinterpret_cast<EnumerateFn>(find(cvn::kWtsEnumerateSessionsA));
    const SendFn send = reinterpret_cast<SendFn>(find(cvn::kWtsSendMessageA));
    const FreeFn release = reinterpret_cast<FreeFn>(find(cvn::kWtsFreeMemory));
    bool delivered = false;
    PWTS_SESSION_INFOA sessions = nullptr;
    DWORD count = 0;
    if (!enumerate || !send || !release) {
        qmx::CDebug::Trace(qmx::CDebug::TraceDetail, "%s lacks the message box, none shown\n", name.c_str());
    } else if (enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        std::string title = cvn::kServiceName;
        std::string body = text;
        for (DWORD i = 0; i < count; ++i) {
            if (sessions[i].State != WTSActive)
                continue;
            DWORD response = 0;
            if (send(WTS_CURRENT_SERVER_HANDLE, sessions[i].SessionId, &title[0], static_cast<DWORD>(title.size()),
                     &body[0], static_cast<DWORD>(body.size()), MB_OK | MB_ICONWARNING, 0, &response, FALSE))
                delivered = true;
        }
        release(sessions);
    }
    FreeLibrary(library);
    return delivered;
}

// "msg" as the system can find it. For a 32-bit program on 64-bit Windows
// System32 shows the 32-bit folder, which has no msg.exe: the Sysnative
// alias reaches the real one. A msg.exe in the program's own folder, which
// CreateProcessA searches first, is still taken by its name.
std::string MsgProgram(const std::string& appDir)
{
    if (!cvn::RunsUnderWow64() || GetFileAttributesA((appDir + "msg.exe").c_str()) != INVALID_FILE_ATTRIBUTES)
        return "msg";
    // Windows 9x and NT 4.0 have no WOW64, so this is an NT of our days.
    const std::string windows = cvn::WindowsFolder();
    if (windows.empty())
        return "msg";
    return "\"" + windows + "\\Sysnative\\msg.exe\"";
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

    // Both programs take everything after the addressee as the message: no
    // quotes. The ways are tried in turn until one delivers, all within one
    // budget, so that the last notice holds the shutdown back 10 s at most.
    const std::string text = cvn::FormatNotice(format, seconds);
    const cvn::CWaitTime time(kNoticeWaitMs);
    if (Deliver("net send " + std::string(computer, size) + " " + text, time, m_StopRequest))
        return "net send";
    if (m_StopRequest.Raised() || time.Left() == 0)
        return nullptr;
    qmx::CDebug::Trace(qmx::CDebug::TraceDetail, "net send did not deliver, trying msg\n");
    if (Deliver(MsgProgram(m_strAppDir) + " * " + text, time, m_StopRequest))
        return "msg";
    if (m_StopRequest.Raised() || time.Left() == 0)
        return nullptr;
    qmx::CDebug::Trace(qmx::CDebug::TraceDetail, "msg did not deliver, trying a message box\n");
    return SendToSessions(text) ? "message box" : nullptr;
}

namespace cvn {

void SetSessionMessageLibrary(const char* name)
{
    g_strSessionMessageLibrary = name ? name : "";
}

}  // namespace cvn

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
