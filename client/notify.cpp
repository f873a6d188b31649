#include "notify.h"

#include <cstdio>

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

}  // namespace cvn
