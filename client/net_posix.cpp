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

int NetOpenStream()
{
    // Not handed to the programs the client starts: one that outlived a lost
    // session would keep it open.
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

std::uint32_t NetParseAddress(const char* text)
{
    return inet_addr(text);
}

bool NetResolveHost(const char* name, std::uint32_t* address)
{
    // getaddrinfo where Windows has gethostbyname: the same answer for an
    // IPv4 name, without the static result that gethostbyname shares
    // between threads here.
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return false;
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

bool NetConnect(int socket, std::uint32_t address, std::uint16_t port, unsigned long timeoutMs,
                const CStopRequest* stop)
{
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;

    int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    bool connected = connect(socket, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
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
