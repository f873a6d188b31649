#include "server_text.h"

#include <cstring>

namespace cvn {

std::string TameServerText(const std::string& raw)
{
    static const char kKept[] = " .,-_:/+";
    std::string tame;
    tame.reserve(raw.size());
    for (char c : raw) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E)
            continue;
        const bool letterOrDigit =
            (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9');
        tame += letterOrDigit || std::strchr(kKept, c) ? c : '_';
    }
    return tame;
}

}  // namespace cvn
