// Native stand-ins only: the catalogue table with our own formatter,
// strerror for system error codes, syslog for the Event Log.
#include "exception.h"

#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>

#include "message_format.h"
#include "platform.h"

namespace {

// The system's text for an errno value, or null when it has none (strerror
// would make up "Unknown error N").
const char* SystemErrorText(std::uint32_t code)
{
    if (code > static_cast<std::uint32_t>(INT_MAX))
        return nullptr;
#if defined(__GLIBC__)
    return strerrordesc_np(static_cast<int>(code));
#else
    const char* text = std::strerror(static_cast<int>(code));
    return std::strncmp(text, "Unknown error", 13) == 0 ? nullptr : text;
#endif
}

}  // namespace

CCVNException::CCVNException()
    : m_wInsertCount(0), m_ppszInserts(nullptr), m_dwMessageId(static_cast<std::uint32_t>(errno))
{
}

void CCVNException::GetMessage(std::string& text)
{
    if (const char* stored = cvn::FindCatalogueText(m_dwMessageId)) {
        if (!cvn::FormatMessageText(stored, m_ppszInserts, m_wInsertCount, text))
            text = "Unknown Error";
        return;
    }
    // System texts end their line like the catalogue's.
    if (const char* system = SystemErrorText(m_dwMessageId)) {
        text = system;
        text += "\r\n";
        return;
    }
    text = "Unknown Error";
}

void CCVNException::ReportToEventLog()
{
    std::string text;
    GetMessage(text);
    // A syslog record is a line of its own: no CR, and no final line end.
    std::string record;
    for (char c : text) {
        if (c != '\r')
            record += c;
    }
    while (!record.empty() && record.back() == '\n')
        record.pop_back();
    // Opened and closed for every report, like the event source.
    openlog(cvn::kServiceName, LOG_PID, LOG_DAEMON);
    syslog(cvn::SyslogPriorityOf(m_dwMessageId), "%s", record.c_str());
    closelog();
}

void CCVNException::ReportToConsole()
{
    std::string text;
    GetMessage(text);
    std::cerr << text;
    std::cerr.flush();
}

namespace cvn {

int SyslogPriorityOf(std::uint32_t messageId)
{
    switch (EventTypeOf(messageId)) {
    case kEventError:
        return LOG_ERR;
    case kEventWarning:
        return LOG_WARNING;
    case kEventInformation:
        return LOG_INFO;
    default:
        // EVENTLOG_SUCCESS, the type of a system error code (severity 00):
        // kept above the informational reports all the same.
        return LOG_NOTICE;
    }
}

}  // namespace cvn
