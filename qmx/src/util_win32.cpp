// Windows code only: paths, directory search, processes and shutdown.
#include "qmx/util.h"

#include <direct.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "os.h"

namespace qmx {

namespace {

// Owns one kernel handle.
class CHandle {
public:
    explicit CHandle(HANDLE handle = nullptr) : m_hHandle(handle) {}
    ~CHandle()
    {
        if (m_hHandle && m_hHandle != INVALID_HANDLE_VALUE)
            CloseHandle(m_hHandle);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    HANDLE Get() const { return m_hHandle; }
    HANDLE* Receive() { return &m_hHandle; }

private:
    HANDLE m_hHandle;
};

// Owns one directory search.
class CFind {
public:
    explicit CFind(HANDLE handle) : m_hFind(handle) {}
    ~CFind()
    {
        if (m_hFind != INVALID_HANDLE_VALUE)
            FindClose(m_hFind);
    }
    CFind(const CFind&) = delete;
    CFind& operator=(const CFind&) = delete;
    HANDLE Get() const { return m_hFind; }

private:
    HANDLE m_hFind;
};

}  // namespace

const char* const kPathSeparators = "\\/";

const char* GetDirectorySeparator()
{
    return "\\";
}

const char* GetDLLExtension()
{
    return "dll";
}

bool ExecutablePath(std::string& path)
{
    char module[kMaxPath] = {};
    // Without a module handle: the program's file, not this library's. A
    // result that fills the buffer may be cut (and unterminated on XP).
    DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    if (length == 0 || length >= sizeof module)
        return false;
    char full[kMaxPath] = {};
    char* filePart = nullptr;
    length = GetFullPathNameA(module, sizeof full, full, &filePart);
    if (length == 0 || length >= sizeof full)
        return false;
    path.assign(full, length);
    return true;
}

std::string GetShortName(const char* path)
{
    if (!path)
        return std::string();
    char buffer[kMaxPath] = {};
    // Too small a buffer gives the size it would need: no short form then.
    DWORD length = GetShortPathNameA(path, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer)
        return std::string();
    return std::string(buffer, length);
}

std::string GetCwd()
{
    char buffer[kMaxPath] = {};
    if (!_getcwd(buffer, sizeof buffer))
        return std::string();
    return buffer;
}

void SearchDirectory(const std::string& searchPath, void (*found)(const char* name, void* context),
                     void* context)
{
    WIN32_FIND_DATAA data;
    CFind find(FindFirstFileA(searchPath.c_str(), &data));
    if (find.Get() == INVALID_HANDLE_VALUE)
        return;
    do {
        found(data.cFileName, context);
    } while (FindNextFileA(find.Get(), &data));
}

bool CreateDirectoryA(const char* path)
{
    if (!path)
        return false;
    return ::CreateDirectoryA(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

void ShutdownOS()
{
    CHandle token;
    bool privileged = false;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive())) {
        TOKEN_PRIVILEGES privileges = {};
        LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        privileged = AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
    }
    if (privileged)
        ExitWindowsEx(EWX_POWEROFF, 0);
    else
        ExitWindowsEx(EWX_LOGOFF, 0xFFFFFFFF);
}

bool Execute(const char* command, int show, bool wait)
{
    if (!command)
        return false;
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(show & 0xFFFF);

    // CreateProcessA may write into the command line.
    std::vector<char> commandLine(command, command + strlen(command) + 1);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                        nullptr, &startup, &started))
        return false;
    CHandle process(started.hProcess);
    CHandle thread(started.hThread);
    // On the process itself: its exit code cannot tell a program that ended
    // with 259 (STILL_ACTIVE) from one that runs.
    if (wait)
        WaitForSingleObject(process.Get(), INFINITE);
    return true;
}

}  // namespace qmx
