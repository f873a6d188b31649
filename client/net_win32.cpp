// Windows code only: the session's socket calls on Winsock.
#include <winsock2.h>

#include "net.h"

#include <cstring>

#include "stop_request.h"

namespace cvn {

namespace {

SOCKET Handle(int socket)
{
    return static_cast<SOCKET>(socket);
}

timeval Timeout(unsigned long timeoutMs)
{
    timeval t;
    t.tv_sec = static_cast<long>(timeoutMs / 1000);
    t.tv_usec = static_cast<long>(timeoutMs % 1000) * 1000;
    return t;
}

// The sets of one socket that a wait asks about, and afterwards those that
// select found it in.
struct CSelectSets {
    bool read = false, write = false, exception = false;
};

// select on the socket for the sets asked, at most timeoutMs, in slices
// while a stop request can end the wait. The result is select's; found tells
// the sets in which the socket was reported.
int SelectFor(int socket, const CSelectSets& asked, unsigned long timeoutMs, const CStopRequest* stop,
              CSelectSets* found)
{
    const CWaitTime time(timeoutMs);
    for (;;) {
        const unsigned long left = time.Left();
        const unsigned long slice = StopSlice(stop, left);
        fd_set reads, writes, exceptions;
        FD_ZERO(&reads);
        FD_ZERO(&writes);
        FD_ZERO(&exceptions);
        if (asked.read)
            FD_SET(Handle(socket), &reads);
        if (asked.write)
            FD_SET(Handle(socket), &writes);
        if (asked.exception)
            FD_SET(Handle(socket), &exceptions);
        timeval timeout = Timeout(slice);
        int result = select(socket + 1, asked.read ? &reads : nullptr, asked.write ? &writes : nullptr,
                            asked.exception ? &exceptions : nullptr, &timeout);
        if (result == 0 && slice < left && !stop->Raised())
            continue;
        found->read = result > 0 && FD_ISSET(Handle(socket), &reads);
        found->write = result > 0 && FD_ISSET(Handle(socket), &writes);
        found->exception = result > 0 && FD_ISSET(Handle(socket), &exceptions);
        return result;
    }
}

}  // namespace

int NetOpenStream()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

std::uint32_t NetParseAddress(const char* text)
{
    return inet_addr(text);
}

bool NetResolveHost(const char* name, std::uint32_t* address)
{
    hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || !host->h_addr_list || !host->h_addr_list[0])
        return false;
    std::memcpy(address, host->h_addr_list[0], sizeof *address);
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

    u_long on = 1;
    if (ioctlsocket(Handle(socket), FIONBIO, &on) != 0)
        return false;
    bool connected = connect(Handle(socket), reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        // Winsock tells a made connection by writability and a failed one
        // by the exception set.
        CSelectSets asked, found;
        asked.write = asked.exception = true;
        if (SelectFor(socket, asked, timeoutMs, stop, &found) > 0)
            connected = found.write && !found.exception;
    }
    u_long off = 0;
    if (ioctlsocket(Handle(socket), FIONBIO, &off) != 0)
        return false;
    return connected;
}

int NetWaitReadable(int socket, unsigned long timeoutMs, const CStopRequest* stop)
{
    CSelectSets asked, found;
    asked.read = true;
    if (SelectFor(socket, asked, timeoutMs, stop, &found) < 0)
        return -1;
    return found.read ? 1 : 0;
}

NetWait NetWaitSession(int socket, unsigned long timeoutMs, const CStopRequest* stop)
{
    CSelectSets asked, found;
    asked.read = asked.exception = true;
    if (SelectFor(socket, asked, timeoutMs, stop, &found) < 0)
        return NetWait::Failed;
    if (found.exception)
        return NetWait::Exception;
    return found.read ? NetWait::Readable : NetWait::Timeout;
}

int NetReceive(int socket, char* buffer, int size)
{
    return recv(Handle(socket), buffer, size, 0);
}

int NetSend(int socket, const char* data, int size)
{
    return send(Handle(socket), data, size, 0);
}

void NetClose(int socket)
{
    closesocket(Handle(socket));
}

}  // namespace cvn
