// POSIX code only: the session's socket calls on BSD sockets.
#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "net_addrinfo.h"
#include "server_address.h"
#include "stop_request.h"

namespace cvn {

namespace {

// poll on the socket, and on the stop request's event when one is given,
// with a time limit that survives interruptions by signals. A raised stop
// ends the wait as if the time had passed: the result is 0.
int PollFor(int socket, short events, unsigned long timeoutMs, const CStopRequest* stop, short* revents)
{
    const CWaitTime time(timeoutMs);
    for (;;) {
        const unsigned long left = time.Left();
        pollfd fds[2] = {{socket, events, 0}, {stop ? stop->Event().Descriptor() : -1, POLLIN, 0}};
        int result = poll(fds, stop ? 2 : 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (result < 0 && errno == EINTR)
            continue;
        if (result > 0 && fds[0].revents == 0)
            result = 0;
        if (result == 0 && left > 0 && !(stop && stop->Raised()) && time.Left() > 0)
            continue;
        *revents = fds[0].revents;
        return result;
    }
}

}  // namespace

int NetOpenStream(bool v6, bool* noFamily)
{
    // Not handed to the programs the client starts: one that outlived a lost
    // session would keep it open.
    const int s = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (noFamily)
        *noFamily = s < 0 && errno == EAFNOSUPPORT;
    return s;
}

NetLiteral NetLiteralAddress(const CServerAddress& parsed, CNetAddresses* addresses)
{
    addresses->clear();
    if (parsed.kind == AddressKind::IPv4) {
        sockaddr_in target;
        std::memset(&target, 0, sizeof target);
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = inet_addr(parsed.host.c_str());
        TakeAddress(reinterpret_cast<sockaddr*>(&target), sizeof target, addresses);
        return NetLiteral::Found;
    }
    // The system's own parser, which also turns a zone's interface name
    // into its number.
    return LookupAddresses<addrinfo>(getaddrinfo, freeaddrinfo, parsed.host.c_str(), AF_INET6, AI_NUMERICHOST, addresses) ? NetLiteral::Found
                                                                            : NetLiteral::Invalid;
}

bool NetResolveHost(const char* name, CNetAddresses* addresses)
{
    // getaddrinfo where Windows 9x has gethostbyname: both families, in the
    // order the system prefers, without the static result that
    // gethostbyname shares between threads here.
    addresses->clear();
    return LookupAddresses<addrinfo>(getaddrinfo, freeaddrinfo, name, AF_UNSPEC, 0, addresses);
}

std::string NetAddressText(const CNetAddress& address, std::uint16_t port)
{
    char host[NI_MAXHOST] = "?";
    getnameinfo(reinterpret_cast<const sockaddr*>(address.storage), address.length, host, sizeof host, nullptr, 0,
                NI_NUMERICHOST);
    const std::string text = address.v6 ? "[" + std::string(host) + "]" : std::string(host);
    return text + ":" + std::to_string(port);
}

bool NetConnect(int socket, const CNetAddress& address, std::uint16_t port, unsigned long timeoutMs,
                const CStopRequest* stop)
{
    sockaddr_storage target;
    std::memset(&target, 0, sizeof target);
    std::memcpy(&target, address.storage, address.length);
    if (address.v6)
        reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&target)->sin_port = htons(port);

    int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    bool connected = connect(socket, reinterpret_cast<sockaddr*>(&target), address.length) == 0;
    if (!connected && errno == EINPROGRESS) {
        short revents = 0;
        if (PollFor(socket, POLLOUT, timeoutMs, stop, &revents) > 0) {
            int error = 0;
            socklen_t length = sizeof error;
            connected = getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                        error == 0;
        }
    }
    if (fcntl(socket, F_SETFL, flags) < 0)
        return false;
    return connected;
}

int NetWaitReadable(int socket, unsigned long timeoutMs, const CStopRequest* stop)
{
    short revents = 0;
    int result = PollFor(socket, POLLIN, timeoutMs, stop, &revents);
    if (result < 0 || (revents & POLLNVAL))
        return -1;
    // A reset or closed connection counts as readable, as select reports it:
    // the receive then tells what happened.
    return (revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

NetWait NetWaitSession(int socket, unsigned long timeoutMs, const CStopRequest* stop)
{
    // POLLPRI is the out-of-band data that select reports as an exception.
    short revents = 0;
    int result = PollFor(socket, POLLIN | POLLPRI, timeoutMs, stop, &revents);
    if (result < 0 || (revents & POLLNVAL))
        return NetWait::Failed;
    if (revents & POLLPRI)
        return NetWait::Exception;
    return (revents & (POLLIN | POLLHUP | POLLERR)) ? NetWait::Readable : NetWait::Timeout;
}

int NetReceive(int socket, char* buffer, int size)
{
    ssize_t n;
    do {
        n = recv(socket, buffer, static_cast<size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int NetSend(int socket, const char* data, int size)
{
    // No SIGPIPE when the server has gone: Winsock reports that as an error
    // of the call too, and the session fails instead of the process ending.
    ssize_t n;
    do {
        n = send(socket, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

void NetClose(int socket)
{
    close(socket);
}

}  // namespace cvn
