// What the user notices of the monitor say, ready for "net send" or wall,
// and the report of a shutdown request that the system refused.
#ifndef CVN_NOTIFY_H
#define CVN_NOTIFY_H

#include <cstdint>
#include <string>

namespace cvn {

// The format with the seconds filled in; a negative count means the text
// goes out as it stands, "%d" and all.
std::string FormatNotice(const char* format, int seconds);

// The system's text for an error code, without its line end.
std::string SystemErrorText(std::uint32_t code);

// Puts a refused shutdown request on record (Event Log in service mode,
// standard error otherwise) with its cause.
void ReportShutdownFailed(const std::string& cause);

#if defined(_WIN32)
// The library that the last way of a notice, a message box on every active
// session, is looked up in (the system folder's wtsapi32.dll; null or empty
// restores it): tests name a recording one of their own.
void SetSessionMessageLibrary(const char* name);
#endif

}  // namespace cvn

#endif
