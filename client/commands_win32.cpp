// Windows code only: the administrator's commands (batch files through cmd, PowerShell scripts, programs) and hibernation.
#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "children.h"
#include "looked_up.h"
#include "notify.h"
#include "platform.h"
#include "sync.h"

namespace cvn {

namespace {

// Kernel functions that Windows 98 and NT 4.0 do not have: looked up, and
// without them a command is ended alone, without what it started.
typedef HANDLE(WINAPI* CreateJobObjectFn)(LPSECURITY_ATTRIBUTES, LPCSTR);
typedef BOOL(WINAPI* AssignProcessToJobObjectFn)(HANDLE, HANDLE);
typedef BOOL(WINAPI* TerminateJobObjectFn)(HANDLE, UINT);

template <typename Fn>
Fn Kernel(const char* name)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}

// Quoted so that the C runtime of the program reads it back as one argument
// (backslashes before a quote doubled, quotes escaped).
std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
}

bool EndsWith(const std::string& text, const char* ending)
{
    const std::string end = ending;
    return text.size() >= end.size() && Lower(text.substr(text.size() - end.size())) == end;
}

// The program the system starts for the administrator's command (empty:
// the first word of the line, as it stands) and its command line. cmd and
// PowerShell are the system folder's own: by their bare names the system
// would look in the client's folder and the current one first.
struct CStartLine {
    std::string application;
    std::string line;
    bool throughSystem = false;
};

std::string g_strPowerShell;

CStartLine CommandLineOf(const CCommandLine& command, const std::vector<std::string>& extraArguments)
{
    std::string rest;
    if (!command.arguments.empty())
        rest += " " + command.arguments;
    for (const std::string& argument : extraArguments)
        rest += " " + Quoted(argument);
    const std::string program = "\"" + command.program + "\"";
    CStartLine start;
    start.throughSystem = true;
    // cmd /s takes the first and the last quote away and runs the rest as
    // it stands, quoted path and all.
    if (EndsWith(command.program, ".bat") || EndsWith(command.program, ".cmd")) {
        start.application = SystemProgram("cmd.exe");
        start.line = "\"" + start.application + "\" /s /c \"" + program + rest + "\"";
    } else if (EndsWith(command.program, ".ps1")) {
        start.application = g_strPowerShell.empty() ? SystemProgram("WindowsPowerShell\\v1.0\\powershell.exe")
                                                    : g_strPowerShell;
        start.line = "\"" + start.application + "\" -NoProfile -ExecutionPolicy Bypass -File " + program + rest;
    } else {
        start.throughSystem = false;
        start.line = program + rest;
    }
    return start;
}

std::string NameOf(const std::string& entry)
{
    // Entries such as "=C:=C:\" keep their leading "=" in the name.
    return Lower(entry.substr(0, entry.find('=', 1)));
}

// The client's environment with the entries added (an entry of the same
// name replaced), sorted by name regardless of case as the system wants it,
// each ended by a zero and the whole by one more.
std::string EnvironmentBlock(const std::vector<std::string>& environment)
{
    std::vector<std::string> entries;
    if (char* own = GetEnvironmentStringsA()) {
        for (const char* entry = own; *entry; entry += strlen(entry) + 1) {
            const std::string text = entry;
            const std::string name = NameOf(text);
            if (std::none_of(environment.begin(), environment.end(),
                             [&](const std::string& ours) { return NameOf(ours) == name; }))
                entries.push_back(text);
        }
        FreeEnvironmentStringsA(own);
    }
    entries.insert(entries.end(), environment.begin(), environment.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const std::string& a, const std::string& b) { return NameOf(a) < NameOf(b); });
    std::string block;
    for (const std::string& entry : entries)
        block += entry + '\0';
    return block + '\0';
}

std::string ExitText(DWORD code)
{
    if (code == 0)
        return std::string();
    char text[32];
    std::snprintf(text, sizeof text, code > 0xFFFF ? "status 0x%lX" : "status %lu", static_cast<unsigned long>(code));
    return text;
}

// Hibernation, like the shutdown, needs the shutdown privilege enabled.
void EnableShutdownPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
}

// The standard handles of a command on the NT family, inheritable, for as
// long as its start takes.
struct CStandardHandles {
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
    ~CStandardHandles() { Close(); }

    void Open()
    {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        m_null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);
        if (m_null == INVALID_HANDLE_VALUE) {
            m_null = nullptr;
            return;
        }
        input = m_null;
        output = Copy(STD_OUTPUT_HANDLE, m_output);
        error = Copy(STD_ERROR_HANDLE, m_error);
    }
    bool Usable() const { return input != nullptr; }
    void Close()
    {
        for (HANDLE* handle : {&m_null, &m_output, &m_error}) {
            if (*handle)
                CloseHandle(*handle);
            *handle = nullptr;
        }
        input = output = error = nullptr;
    }

private:
    // An inheritable copy of the client's own handle, or the null device
    // when it has none (a service) or it cannot be copied.
    HANDLE Copy(DWORD which, HANDLE& copy)
    {
        const HANDLE own = GetStdHandle(which);
        if (own && own != INVALID_HANDLE_VALUE &&
            DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
            return copy;
        copy = nullptr;
        return m_null;
    }

    HANDLE m_null = nullptr;
    HANDLE m_output = nullptr;
    HANDLE m_error = nullptr;
};

}  // namespace

struct CCommandProcess::Impl {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    ~Impl()
    {
        if (process)
            CloseHandle(process);
        // Closing the job does not end what is in it.
        if (job)
            CloseHandle(job);
    }
};

CCommandProcess::CCommandProcess() : m_pImpl(new Impl) {}
CCommandProcess::~CCommandProcess() = default;

std::string CCommandProcess::Start(const CCommandLine& command, const std::vector<std::string>& extraArguments,
                                   const std::vector<std::string>& environment)
{
    if (command.program.empty())
        return "no program is named";
    const CStartLine start = CommandLineOf(command, extraArguments);
    if (start.throughSystem && start.application.empty())
        return "the system folder is not known";
    std::string block = EnvironmentBlock(environment);
    const char* application = start.application.empty() ? nullptr : start.application.c_str();

    // Started held, so that it is in its job before it can start anything.
    const auto createJob = Kernel<CreateJobObjectFn>("CreateJobObjectA");
    const auto assign = Kernel<AssignProcessToJobObjectFn>("AssignProcessToJobObject");
    const bool jobs = createJob && assign && Kernel<TerminateJobObjectFn>("TerminateJobObject");

    // On the NT family the standard handles are passed by inheritance: input
    // from the null device (nothing for pause or a prompt to wait on),
    // output and error where the client's go, else to the null device too.
    // The client's own sockets and files are not inheritable, and the lock
    // keeps these handles from any other program started meanwhile. Windows
    // 9x cannot mark handles: there the command inherits nothing and reads
    // from the console it is given.
    std::unique_lock<CLock> hold(InheritanceLock(), std::defer_lock);
    CStandardHandles standard;
    if (CanKeepHandles()) {
        hold.lock();
        standard.Open();
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    const BOOL inherit = standard.Usable() ? TRUE : FALSE;
    if (inherit) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = standard.input;
        startup.hStdOutput = standard.output;
        startup.hStdError = standard.error;
    }
    PROCESS_INFORMATION pi = {};
    // A console without a window: a batch file's programs share it rather
    // than each opening one of their own.
    const DWORD held = jobs ? CREATE_SUSPENDED : 0;
    std::string commandLine = start.line;
    if (!CreateProcessA(application, &commandLine[0], nullptr, nullptr, inherit, CREATE_NO_WINDOW | held, &block[0],
                        nullptr, &startup, &pi)) {
        // Systems older than Windows 2000 may not know the flag: without a
        // console then.
        const DWORD error = GetLastError();
        commandLine = start.line;
        if (error != ERROR_INVALID_PARAMETER ||
            !CreateProcessA(application, &commandLine[0], nullptr, nullptr, inherit, DETACHED_PROCESS | held,
                            &block[0], nullptr, &startup, &pi))
            return SystemErrorText(error != ERROR_INVALID_PARAMETER ? error : GetLastError());
    }
    standard.Close();
    if (hold.owns_lock())
        hold.unlock();
    m_pImpl->process = pi.hProcess;
    if (jobs) {
        HANDLE job = createJob(nullptr, nullptr);
        // A client that is itself in a job may be refused a second one: the
        // command then runs without.
        if (job && assign(job, pi.hProcess))
            m_pImpl->job = job;
        else if (job)
            CloseHandle(job);
        ResumeThread(pi.hThread);
    }
    CloseHandle(pi.hThread);
    return std::string();
}

void SetPowerShellProgram(const char* path)
{
    g_strPowerShell = path ? path : "";
}

bool CCommandProcess::Ended(std::string& failure)
{
    if (!m_pImpl->process)
        return true;
    if (WaitForSingleObject(m_pImpl->process, 0) == WAIT_TIMEOUT)
        return false;
    DWORD code = 0;
    failure = GetExitCodeProcess(m_pImpl->process, &code) ? ExitText(code) : SystemErrorText(GetLastError());
    return true;
}

void CCommandProcess::SleepWhileRunning(unsigned long ms, const CStopRequest& stop)
{
    // The program's end or the stop, whichever comes first.
    HANDLE handles[2] = {m_pImpl->process, stop.Event().Handle()};
    WaitForMultipleObjects(2, handles, FALSE, ms);
}

void CCommandProcess::End()
{
    if (m_pImpl->job) {
        if (const auto terminate = Kernel<TerminateJobObjectFn>("TerminateJobObject")) {
            if (terminate(m_pImpl->job, 1))
                return;
        }
    }
    if (m_pImpl->process)
        TerminateProcess(m_pImpl->process, 1);
}

namespace {

// SetSuspendState returns once the computer has woken, or may hang: it is
// called on a thread of its own, which the monitor may give up on.
struct CSuspendCall {
    CEvent done;
    bool suspended = false;
    std::string failure;
};

void CallSetSuspendState(void* argument)
{
    std::unique_ptr<std::shared_ptr<CSuspendCall>> holder(static_cast<std::shared_ptr<CSuspendCall>*>(argument));
    CSuspendCall& call = **holder;
    // powrprof.dll is not on every Windows this client runs on, so it is
    // loaded, not imported, and from the system folder alone.
    typedef BOOLEAN(WINAPI * SetSuspendStateFn)(BOOLEAN, BOOLEAN, BOOLEAN);
    HMODULE powrprof = LoadSystemLibrary("powrprof.dll");
    if (!powrprof) {
        call.failure = "powrprof.dll: " + SystemErrorText(GetLastError());
        call.done.Set();
        return;
    }
    const auto suspend =
        reinterpret_cast<SetSuspendStateFn>(reinterpret_cast<void*>(GetProcAddress(powrprof, kSetSuspendState)));
    // The reason a function is missing is read before the privilege call
    // sets the last error again.
    if (!suspend) {
        call.failure = "SetSuspendState: " + SystemErrorText(GetLastError());
    } else {
        EnableShutdownPrivilege();
        if (!(call.suspended = suspend(TRUE, FALSE, FALSE) != 0))
            call.failure = SystemErrorText(GetLastError());
    }
    FreeLibrary(powrprof);
    call.done.Set();
}

}  // namespace

bool CCommands::Hibernate(const CStopRequest& stop, std::string& failure)
{
    auto call = std::make_shared<CSuspendCall>();
    auto* holder = new std::shared_ptr<CSuspendCall>(call);
    if (!StartDetachedThread(CallSetSuspendState, holder))
        CallSetSuspendState(holder);
    if (CEvent::WaitEither(call->done, stop.Event(), kHibernateWaitMs) != 0) {
        // Still in the call (a suspension seen meanwhile is the caller's to
        // tell): given up, and the thread left to it.
        failure = stop.Raised() ? "the stop was requested"
                                : "SetSuspendState had not returned after " +
                                      std::to_string(kHibernateWaitMs / 1000) + " seconds";
        return false;
    }
    failure = call->failure;
    return call->suspended;
}

}  // namespace cvn
