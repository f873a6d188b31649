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

enum class SelectSet { Read, Write, Exception };

// select on one set holding the socket alone: 1 when the socket was reported,
// 0 when not, -1 when select failed.
int SelectOne(int socket, SelectSet set, unsigned long timeoutMs)
{
    fd_set sockets;
    FD_ZERO(&sockets);
    FD_SET(Handle(socket), &sockets);
    timeval timeout = Timeout(timeoutMs);
    int result = select(socket + 1, set == SelectSet::Read ? &sockets : nullptr,
                        set == SelectSet::Write ? &sockets : nullptr,
                        set == SelectSet::Exception ? &sockets : nullptr, &timeout);
    if (result < 0)
        return -1;
    return result > 0 && FD_ISSET(Handle(socket), &sockets) ? 1 : 0;
}

// select on the socket for the sets asked, at most timeoutMs, in slices
// while a stop request can end the wait. The result is select's (the number
// of sets the socket was found in, or -1); found tells which.
//
// The socket never stands in two sets of one call: Wine's server aborts, and
// takes every program of its prefix with it, when a connection is reset
// between its looks at two entries of one socket in one call (a server that
// closes on the client's request does just that). So the first set asked
// waits for the slice and the others are looked at right after it without
// waiting; a wait on several sets then takes slices of at most kStopSliceMs,
// so that what only they report is seen as promptly as a stop.
int SelectFor(int socket, const CSelectSets& asked, unsigned long timeoutMs, const CStopRequest* stop,
              CSelectSets* found)
{
    const bool asks[] = {asked.read, asked.write, asked.exception};
    bool* finds[] = {&found->read, &found->write, &found->exception};
    const bool several = asked.read + asked.write + asked.exception > 1;
    const CWaitTime time(timeoutMs);
    for (;;) {
        const unsigned long left = time.Left();
        unsigned long slice = StopSlice(stop, left);
        if (several && slice > kStopSliceMs)
            slice = kStopSliceMs;
        int count = 0;
        bool waited = false;
        for (int set = 0; set < 3; ++set) {
            *finds[set] = false;
            if (!asks[set])
                continue;
            int result = SelectOne(socket, static_cast<SelectSet>(set), waited ? 0 : slice);
            waited = true;
            if (result < 0)
                return -1;
            *finds[set] = result > 0;
            count += result;
        }
        if (count == 0 && slice < left && !(stop && stop->Raised()))
            continue;
        return count;
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
