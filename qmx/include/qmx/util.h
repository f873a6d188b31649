// Path, directory, process and shutdown utilities of the support library.
// Strings and lists they return belong to the caller. Paths are limited to
// 260 characters: where a result would not fit, it is empty.
#ifndef QMX_UTIL_H
#define QMX_UTIL_H

#include <list>
#include <string>

#include "qmx/export.h"

namespace qmx {

// "\\" on Windows ("/" natively); static, valid while the library is loaded.
QMX_API const char* GetDirectorySeparator();
// "dll" on Windows ("so" natively), without the dot.
QMX_API const char* GetDLLExtension();

// The directory of the running program's file (not the library's), with its
// trailing separator, followed directly by name when name is not null. When
// the program's path cannot be resolved the directory part is empty.
QMX_API std::string GetAppDirectory(const char* name);

// The system's short form of an existing path; empty when there is none.
// Natively: the canonical absolute path.
QMX_API std::string GetShortName(const char* path);

// The current directory; empty when it cannot be read or does not fit.
QMX_API std::string GetCwd();

// Appends directory + separator + name for every entry that pattern ("*" and
// "?") matches in directory, in the system's order, "." and ".." included.
// The list is not cleared; nothing is added when nothing matches.
QMX_API void FillFileList(std::list<std::string>& list, const char* directory, const char* pattern);

// Creates the one directory path (not its parents). True when it was created
// or the name already exists.
QMX_API bool CreateDirectoryA(const char* path);

// Asks the system to shut down and switch the power off. Reports nothing.
// Natively: "shutdown -h now", looked up on PATH.
QMX_API void ShutdownOS();

// Starts command (its first word names the program) in a console of its
// own, with the low 16 bits of show as its show-window state; with wait,
// returns once the program has ended. True when the program was started.
QMX_API bool Execute(const char* command, int show, bool wait);

}  // namespace qmx

#endif
