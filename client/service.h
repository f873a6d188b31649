// Windows service integration: the dispatcher hand-over, the service entry
// procedure, the control handler, the worker thread, the Event Log source
// registration and the service commands. service_win32.cpp holds them; the
// native build has stand-ins in service_posix.cpp.
#ifndef CVN_SERVICE_H
#define CVN_SERVICE_H

#include "platform.h"

class CCVNRemoteApp;

#if !defined(_WIN32)
#define WINAPI
typedef void* LPVOID;
typedef char* LPSTR;
#endif

namespace cvn {

// Offers the process to the service dispatcher. True when it ran as a
// service (which has ended now); false when the service manager did not
// start the process, after switching the application to console mode.
// Other failures throw CCVNException*.
bool RunServiceDispatcher(CCVNRemoteApp& app);

}  // namespace cvn

// 0 start, 1 stop, 2 pause, 3 resume (anything else starts). Ends the
// process on success; throws CCVNException* on failure.
void ControlServiceCommand(int command);
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);
DWORD WINAPI MonitorThread(LPVOID);
void RegisterEventSource();

#endif
