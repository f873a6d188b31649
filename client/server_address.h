// What a "Server Address" text is, read without the network: a dotted IPv4
// address, an IPv6 literal (bracketed or not, with or without a zone), or a
// host name that the system's resolver looks up for both families. A port
// written into the address is refused, not guessed at: the port comes from
// "Server Port" alone.
#ifndef CVN_SERVER_ADDRESS_H
#define CVN_SERVER_ADDRESS_H

#include <string>

namespace cvn {

enum class AddressKind {
    IPv4,       // the whole text is dotted decimal: never looked up
    IPv6,       // it holds a ':': never looked up
    Name,       // everything else, "1host" and "1.2.3.4.example" included
    WithPort,   // "[::1]:8888", "ups.example:8888"
    Malformed,  // empty, unbalanced brackets, characters no IPv6 address has
};

struct CServerAddress {
    AddressKind kind = AddressKind::Malformed;
    // What the system is given: the brackets taken off, the zone kept
    // ("fe80::1%eth0").
    std::string host;
    // The zone after the '%' of an IPv6 literal, or empty.
    std::string zone;
};

CServerAddress ParseServerAddress(const std::string& text);

// The zone is an interface number ("3"), as Windows takes it; natively an
// interface name will do as well.
bool ZoneIsNumber(const std::string& zone);

}  // namespace cvn

#endif
