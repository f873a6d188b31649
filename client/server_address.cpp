#include "server_address.h"

namespace cvn {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool AllDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (!IsDigit(c))
            return false;
    }
    return true;
}

// Four parts of one to three digits, each at most 255. inet_addr would take
// more ("127.1", "0x7f.0.0.1"), but such a text is a name to the resolver,
// which reads the same forms itself where the system allows them.
bool IsDottedDecimal(const std::string& text)
{
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('.', start);
        const std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!AllDigits(part) || part.size() > 3 || std::stoi(part) > 255)
            return false;
        ++parts;
        if (end == std::string::npos)
            return parts == 4;
        start = end + 1;
    }
}

// An IPv6 address as far as its characters go; what is a valid one the
// system's own parser decides when the address is used.
CServerAddress IPv6Literal(const std::string& text)
{
    CServerAddress parsed;
    const std::size_t percent = text.find('%');
    const std::string address = text.substr(0, percent);
    if (address.find(':') == std::string::npos ||
        address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
        return parsed;
    if (percent != std::string::npos) {
        parsed.zone = text.substr(percent + 1);
        if (parsed.zone.empty() || parsed.zone.find_first_of(" \t%[]:") != std::string::npos)
            return parsed;
    }
    parsed.kind = AddressKind::IPv6;
    parsed.host = text;
    return parsed;
}

}  // namespace

CServerAddress ParseServerAddress(const std::string& text)
{
    CServerAddress parsed;
    if (text.empty())
        return parsed;
    if (text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos)
            return parsed;
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] == ':')
                parsed.kind = AddressKind::WithPort;
            return parsed;
        }
        return IPv6Literal(text.substr(1, close - 1));
    }
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
        // One colon before digits alone: a name or IPv4 address with its
        // port ("ups.example:8888"), which no IPv6 address can be.
        if (text.find(':', colon + 1) == std::string::npos && AllDigits(text.substr(colon + 1)) &&
            text.find_first_not_of("0123456789abcdefABCDEF", 0) < colon) {
            parsed.kind = AddressKind::WithPort;
            return parsed;
        }
        return IPv6Literal(text);
    }
    if (text.find_first_of("[]% \t") != std::string::npos)
        return parsed;
    parsed.kind = IsDottedDecimal(text) ? AddressKind::IPv4 : AddressKind::Name;
    parsed.host = text;
    return parsed;
}

bool ZoneIsNumber(const std::string& zone)
{
    return AllDigits(zone);
}

}  // namespace cvn
