// What the programs that the client starts get from it, and where the
// system's own programs and libraries come from. The client runs as SYSTEM
// (root natively): a program or library found by bare name in a folder that
// someone else can write to, or a socket or file handed down by accident,
// would give that someone those rights or the client's session.
#ifndef CVN_CHILDREN_H
#define CVN_CHILDREN_H

#include <cstdio>
#include <string>

#include "platform.h"
#include "sync.h"

namespace cvn {

// Natively, marks close-on-exec whatever descriptors above standard error
// the client was started with (a shell's or a test runner's): they are not
// the programs' to have. Nothing on Windows, where the client starts its
// programs without inheritance but for their standard handles.
void KeepInheritedFromChildren();

// fopen, with the file kept from every program the client starts
// (close-on-exec natively, not inheritable on Windows).
FILE* OpenOwnFile(const char* path, const char* mode);

#if defined(_WIN32)
// Whether the system lets handles be marked as not inheritable
// (SetHandleInformation, NT 3.51 and later; not on Windows 9x). Only then
// may a program be started with inherited handles.
bool CanKeepHandles();
// Marks a handle of the client (a socket too) as not inheritable; nothing
// where the system cannot.
void KeepFromChildren(HANDLE handle);
// Held while the client's inheritable handles for a program that is being
// started exist, and while a new handle is not yet marked: no other program
// gets either.
CLock& InheritanceLock();

// Whether this is a 32-bit client on 64-bit Windows (IsWow64Process,
// looked up: the first Windows versions of the NT family lack it).
bool RunsUnderWow64();
// The Windows folder of the system (not a user's own under Terminal
// Services), where Sysnative is; empty when the system does not say.
std::string WindowsFolder();

// The full path of a file in the system folder ("cmd.exe",
// "WindowsPowerShell\\v1.0\\powershell.exe"); empty when the system does
// not say where that is. For a program started by a 32-bit client on
// 64-bit Windows the path goes through Sysnative, to the system's own
// 64-bit program rather than its 32-bit copy, where that alias exists.
std::string SystemProgram(const std::string& name);
// A library loaded by its full path in the system folder (never Sysnative:
// it is loaded into this process), its own dependencies looked up from
// there. Null with the system's error as the last error.
HMODULE LoadSystemLibrary(const char* name);

// Tests name a recording program of their own in place of the system's
// PowerShell; null or empty goes back to the system's.
void SetPowerShellProgram(const char* path);
#endif

}  // namespace cvn

#endif
