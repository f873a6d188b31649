// The loopback addresses the simulator listens and connects on, the same on
// BSD sockets and on Winsock. Included by socket_posix.cpp and
// socket_win32.cpp after their system headers.
#ifndef UPSSIM_LOOPBACK_H
#define UPSSIM_LOOPBACK_H

#include <cstdint>
#include <cstring>

namespace upssim {
namespace net {

inline sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline sockaddr_in6 Loopback6(std::uint16_t port)
{
    sockaddr_in6 address;
    std::memset(&address, 0, sizeof address);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    return address;
}

}  // namespace net
}  // namespace upssim

#endif
