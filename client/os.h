// The few operating-system services that the application object's start-up
// and clean-up need. os_win32.cpp holds the Windows calls, os_posix.cpp the
// native stand-ins.
#ifndef CVN_OS_H
#define CVN_OS_H

#include <string>

#include "platform.h"

namespace cvn {
namespace os {

// True unless the system reports the NT platform (also when it cannot tell).
bool IsWin9x();
// Full path of the program file in at most 260 characters. Returns the
// system's error code, or 0 on success.
DWORD ModulePath(std::string& path);
// The absolute form of path in at most 260 characters; 0 or an error code.
DWORD FullPath(const std::string& path, std::string& full);
// The platform's path separator.
char Separator();
// Starts the socket library (version 2.2); false when it does not start.
bool StartSockets();
void StopSockets();
void CloseHandle(HANDLE handle);
void FreeConsole();

}  // namespace os
}  // namespace cvn

#endif
