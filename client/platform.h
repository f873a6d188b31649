// The client's platform types. On Windows they are the system's own; the
// native build has stand-ins with the same names and meaning, so that the
// portable code can hold them.
#ifndef CVN_PLATFORM_H
#define CVN_PLATFORM_H

#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
// windows.h maps these names to their A/W forms; the client has members and
// functions of its own with these names.
#undef GetMessage
#undef RegisterEventSource
#else
typedef void* HANDLE;
typedef std::uint32_t DWORD;
typedef void* SERVICE_STATUS_HANDLE;
// Layout of the Windows record, so that the fields read the same.
struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
#endif

namespace cvn {

// The service status the application object starts with, by the service
// manager's values: own and shared process, start pending, stop and
// pause/continue accepted.
enum : DWORD {
    kServiceWin32 = 0x30,
    kServiceStartPending = 2,
    kServiceAcceptStopPauseContinue = 3,
};

// "Corvane Remote Shutdown Client": the service name, display name, event
// source and name of the Windows 9x log file.
extern const char* const kServiceName;

}  // namespace cvn

#endif
