// The walk over an answer of getaddrinfo, the same on BSD sockets and on
// Winsock. Included by net_posix.cpp and net_win32.cpp after their system
// headers: the types and the family numbers are the system's own.
#ifndef CVN_NET_ADDRINFO_H
#define CVN_NET_ADDRINFO_H

#include <cstring>

#include "net.h"

namespace cvn {

// Appends a system address, left out when it does not fit.
template <typename SockAddr, typename Length>
void TakeAddress(const SockAddr* address, Length length, CNetAddresses* addresses)
{
    CNetAddress entry;
    if (length > sizeof entry.storage)
        return;
    entry.v6 = address->sa_family == AF_INET6;
    entry.length = static_cast<unsigned>(length);
    std::memcpy(entry.storage, address, length);
    addresses->push_back(entry);
}

// Every IPv4 and IPv6 address getaddrinfo gives for name, in its order;
// false when there is none. Windows passes the calls it looked up.
template <typename AddrInfo, typename GetAddrInfo, typename FreeAddrInfo>
bool LookupAddresses(GetAddrInfo get, FreeAddrInfo release, const char* name, int family, int flags,
                     CNetAddresses* addresses)
{
    AddrInfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    AddrInfo* found = nullptr;
    if (get(name, nullptr, &hints, &found) != 0 || !found)
        return false;
    for (AddrInfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET || a->ai_family == AF_INET6)
            TakeAddress(a->ai_addr, a->ai_addrlen, addresses);
    }
    release(found);
    return !addresses->empty();
}

}  // namespace cvn

#endif
