// Windows code only: start-up and clean-up services of the application object.
#include "os.h"

namespace cvn {
namespace os {

bool IsWin9x()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // The result is not looked at: when the call fails the platform id
    // stays 0 and the platform counts as Windows 9x.
    GetVersionExA(&version);
    return version.dwPlatformId != VER_PLATFORM_WIN32_NT;
}

DWORD ModulePath(std::string& path)
{
    char buffer[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (length == 0)
        return GetLastError();
    // A full buffer means the path was cut.
    if (length >= sizeof buffer)
        return ERROR_FILENAME_EXCED_RANGE;
    path.assign(buffer, length);
    return 0;
}

DWORD FullPath(const std::string& path, std::string& full)
{
    char buffer[MAX_PATH];
    char* filePart = nullptr;
    DWORD length = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, &filePart);
    if (length == 0)
        return GetLastError();
    if (length >= sizeof buffer)
        return ERROR_FILENAME_EXCED_RANGE;
    full.assign(buffer, length);
    return 0;
}

char Separator()
{
    return '\\';
}

namespace {
// Starts not yet matched by a clean-up: the application object releases the
// platform twice after a start-up error, and only one clean-up is owed.
int socketStarts = 0;
}

bool StartSockets()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    ++socketStarts;
    return true;
}

void StopSockets()
{
    if (socketStarts > 0) {
        --socketStarts;
        WSACleanup();
    }
}

void CloseHandle(HANDLE handle)
{
    ::CloseHandle(handle);
}

void FreeConsole()
{
    ::FreeConsole();
}

}  // namespace os
}  // namespace cvn
