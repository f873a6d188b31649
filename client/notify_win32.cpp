// Windows code only: user messages through "net send" and the system shutdown.
#include <cstdio>
#include <string>

#include "app.h"
#include "notify.h"
#include "qmx/debug.h"

namespace {

// Both programs start without a console of their own and ahead of the
// programs that the coming shutdown is about to interrupt.
const DWORD kStartFlags = DETACHED_PROCESS | HIGH_PRIORITY_CLASS;

// A "net send" that hangs (an unreachable messenger, a stuck console) must not
// hold the monitor: its countdown has to reach the deadline before the
// battery is empty. After this long the command goes on by itself.
const DWORD kNetSendWaitMs = 10000;

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

void CCVNRemoteApp::NotifyUsers(const char* format, int seconds)
{
    // Windows 9x has no messenger service to deliver the text.
    if (m_bWin9x)
        return;

    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof computer;
    if (!GetComputerNameA(computer, &size))
        return;

    // "net send" takes everything after the name as the message: no quotes.
    std::string commandLine = "net send ";
    commandLine.append(computer, size);
    commandLine += ' ';
    commandLine += cvn::FormatNotice(format, seconds);

    CStartedProgram net;
    if (!net.Start(commandLine))
        return;
    if (WaitForSingleObject(net.Process(), kNetSendWaitMs) == WAIT_TIMEOUT)
        qmx::CDebug::Trace(qmx::CDebug::TraceError,
                           "net send has not ended after %lu seconds, going on without it\n",
                           static_cast<unsigned long>(kNetSendWaitMs / 1000));
}

void CCVNRemoteApp::ShutdownSystem()
{
    // First, so that a shutdown that cannot be asked for still ends the
    // monitor instead of looping at the deadline.
    m_bStop = true;

    if (m_bWin9x) {
        // Quoted: unquoted, a folder with a blank in its name ("C:\Program
        // Files\...") makes the system try another program ("C:\Program.exe")
        // first. Not waited for: it ends the session this process runs in.
        CStartedProgram helper;
        if (!helper.Start("\"" + m_strAppDir + "CVNShutdown.exe\""))
            MessageBoxA(nullptr, "Failed OS Shutdown", nullptr, MB_OK);
        return;
    }

    // Programs that hang would otherwise hold the shutdown back forever.
    if (EnableShutdownPrivilege())
        ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCEIFHUNG, 0);
    else
        ExitWindowsEx(EWX_LOGOFF, 0xFFFFFFFF);
}
