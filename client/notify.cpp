#include "notify.h"

#include <cstdio>

#include "exception.h"

namespace cvn {

std::string FormatNotice(const char* format, int seconds)
{
    if (!format)
        return std::string();
    if (seconds < 0)
        return format;
    const int length = std::snprintf(nullptr, 0, format, seconds);
    if (length < 0)
        return format;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(&text[0], text.size(), format, seconds);
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string SystemErrorText(std::uint32_t code)
{
    std::string text;
    CCVNException(code, 0).GetMessage(text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

void ReportShutdownFailed(const std::string& cause)
{
    CCVNException(MSG_SHUTDOWN_FAILED, 1, cause.c_str()).Report();
}

}  // namespace cvn
