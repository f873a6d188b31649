// Windows code only: handles kept from the programs the client starts, and
// the system folder's programs and libraries by their full path.
#include "children.h"

#include <io.h>

#include <mutex>

namespace cvn {

namespace {

typedef BOOL(WINAPI* SetHandleInformationFn)(HANDLE, DWORD, DWORD);

// Made before main: no first use races to construct it.
CLock g_inheritance;

// Looked up, not imported: Windows 9x does not have it, and the program
// must load there.
SetHandleInformationFn SetInformation()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel ? reinterpret_cast<SetHandleInformationFn>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "SetHandleInformation")))
                  : nullptr;
}

std::string SystemFolder()
{
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, sizeof folder);
    return length == 0 || length >= sizeof folder ? std::string() : std::string(folder, length);
}

}  // namespace

bool RunsUnderWow64()
{
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    IsWow64ProcessFn isWow64 =
        kernel ? reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
               : nullptr;
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// The Windows folder of the system (not a user's own under Terminal
// Services), where Sysnative is.
std::string WindowsFolder()
{
    typedef UINT(WINAPI * WindowsDirectoryFn)(LPSTR, UINT);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    WindowsDirectoryFn systemWindows =
        kernel ? reinterpret_cast<WindowsDirectoryFn>(
                     reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemWindowsDirectoryA")))
               : nullptr;
    char windows[MAX_PATH];
    const UINT length = systemWindows ? systemWindows(windows, sizeof windows)
                                      : GetWindowsDirectoryA(windows, sizeof windows);
    return length == 0 || length >= sizeof windows ? std::string() : std::string(windows, length);
}

void KeepInheritedFromChildren() {}

bool CanKeepHandles()
{
    return SetInformation() != nullptr;
}

void KeepFromChildren(HANDLE handle)
{
    if (const SetHandleInformationFn set = SetInformation())
        set(handle, HANDLE_FLAG_INHERIT, 0);
}

CLock& InheritanceLock()
{
    return g_inheritance;
}

FILE* OpenOwnFile(const char* path, const char* mode)
{
    // The C runtime opens its files inheritable.
    std::lock_guard<CLock> hold(InheritanceLock());
    FILE* file = std::fopen(path, mode);
    if (file) {
        const intptr_t handle = _get_osfhandle(_fileno(file));
        if (handle != -1)
            KeepFromChildren(reinterpret_cast<HANDLE>(handle));
    }
    return file;
}

std::string SystemProgram(const std::string& name)
{
    if (RunsUnderWow64()) {
        // Sysnative is seen by 32-bit programs only, since Vista (and XP x64
        // with its update); without it the 32-bit copy is still the system's.
        const std::string windows = WindowsFolder();
        if (!windows.empty()) {
            const std::string native = windows + "\\Sysnative\\" + name;
            if (GetFileAttributesA(native.c_str()) != INVALID_FILE_ATTRIBUTES)
                return native;
        }
    }
    const std::string folder = SystemFolder();
    return folder.empty() ? std::string() : folder + "\\" + name;
}

HMODULE LoadSystemLibrary(const char* name)
{
    const std::string folder = SystemFolder();
    if (folder.empty())
        return nullptr;
    const std::string path = folder + "\\" + name;
    // The altered search looks for the library's own dependencies in its
    // folder rather than in the client's. A system that does not know the
    // flag gets the plain load, by the full path all the same.
    HMODULE library = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library && GetLastError() == ERROR_INVALID_PARAMETER)
        library = LoadLibraryA(path.c_str());
    return library;
}

}  // namespace cvn
