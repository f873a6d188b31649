// What the user notices of the monitor say, ready for "net send" or wall.
#ifndef CVN_NOTIFY_H
#define CVN_NOTIFY_H

#include <string>

namespace cvn {

// The format with the seconds filled in; a negative count means the text
// goes out as it stands, "%d" and all.
std::string FormatNotice(const char* format, int seconds);

}  // namespace cvn

#endif
