// POSIX code only: the simulator's sockets over BSD sockets.
#include "upssim/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "upssim/loopback.h"

namespace upssim {
namespace net {

const Socket kInvalid = static_cast<Socket>(-1);

namespace {

int Fd(Socket s)
{
    return static_cast<int>(s);
}

void SetNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

long Result(ssize_t n)
{
    if (n >= 0)
        return static_cast<long>(n);
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kWouldBlock : kError;
}

}  // namespace

bool Startup()
{
    return true;
}

void Cleanup() {}

Socket Listen(std::uint16_t port, int backlog, std::string* error, bool v6)
{
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        if (error)
            *error = LastError();
        return kInvalid;
    }
    // Connections that the simulator closed first linger in TIME_WAIT on the
    // listening port; without this a listener switched off and on again
    // could not have its port back.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address4 = Loopback(port);
    sockaddr_in6 address6 = Loopback6(port);
    // Only IPv6 on the IPv6 listener: the IPv4 one has its own.
    if (v6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const sockaddr* address = v6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
    if (bind(fd, address, v6 ? sizeof address6 : sizeof address4) != 0 ||
        listen(fd, backlog) != 0) {
        if (error)
            *error = LastError();
        close(fd);
        return kInvalid;
    }
    SetNonBlocking(fd);
    return static_cast<Socket>(fd);
}

std::uint16_t LocalPort(Socket s)
{
    // The port lies at the same place in both families' addresses.
    sockaddr_in6 address;
    socklen_t length = sizeof address;
    if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin6_port);
}

Socket Accept(Socket listener, std::string* peer)
{
    sockaddr_storage address;
    socklen_t length = sizeof address;
    int fd = accept(Fd(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (fd < 0)
        return kInvalid;
    SetNonBlocking(fd);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (peer) {
        char host[NI_MAXHOST] = "?";
        char port[NI_MAXSERV] = "?";
        getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV);
        *peer = (address.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + port;
    }
    return static_cast<Socket>(fd);
}

Socket ConnectLoopback(std::uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return kInvalid;
    sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return kInvalid;
    }
    return static_cast<Socket>(fd);
}

Socket ConnectLoopbackPending(std::uint16_t port, bool v6)
{
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return kInvalid;
    SetNonBlocking(fd);
    sockaddr_in address4 = Loopback(port);
    sockaddr_in6 address6 = Loopback6(port);
    const sockaddr* address = v6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
    if (connect(fd, address, v6 ? sizeof address6 : sizeof address4) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return kInvalid;
    }
    return static_cast<Socket>(fd);
}

Socket OpenWaker()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return kInvalid;
    sockaddr_in address = Loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return kInvalid;
    }
    SetNonBlocking(fd);
    return static_cast<Socket>(fd);
}

void Wake(Socket waker)
{
    sockaddr_in address = Loopback(LocalPort(waker));
    char byte = 0;
    sendto(Fd(waker), &byte, 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

void Drain(Socket waker)
{
    char buffer[64];
    while (recv(Fd(waker), buffer, sizeof buffer, 0) > 0) {
    }
}

long Recv(Socket s, char* buffer, std::size_t size)
{
    return Result(recv(Fd(s), buffer, size, 0));
}

long Send(Socket s, const char* data, std::size_t size)
{
    return Result(send(Fd(s), data, size, MSG_NOSIGNAL));
}

long SendUrgent(Socket s, char byte)
{
    return Result(send(Fd(s), &byte, 1, MSG_OOB | MSG_NOSIGNAL));
}

long RecvUrgent(Socket s, char* byte)
{
    return Result(recv(Fd(s), byte, 1, MSG_OOB));
}

void Close(Socket s)
{
    if (s != kInvalid)
        close(Fd(s));
}

bool WaitReadable(const std::vector<Socket>& sockets, long timeoutMs, std::vector<bool>* readable)
{
    std::vector<pollfd> fds(sockets.size());
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        fds[i].fd = Fd(sockets[i]);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    int n = poll(fds.data(), fds.size(), timeoutMs < 0 ? 0 : static_cast<int>(timeoutMs));
    readable->assign(sockets.size(), false);
    if (n < 0)
        return errno == EINTR;
    for (std::size_t i = 0; i < sockets.size(); ++i)
        (*readable)[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return true;
}

std::string LastError()
{
    return std::strerror(errno);
}

}  // namespace net
}  // namespace upssim
