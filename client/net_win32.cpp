// Windows code only: the session's socket calls on Winsock.
#include <winsock2.h>

#include "net.h"

#include <cstring>
#include <mutex>

#include "children.h"
#include "stop_request.h"

namespace cvn {

namespace {

SOCKET Handle(int socket)
{
    return static_cast<SOCKET>(socket);
}

// Waits at most timeoutMs for one of the socket's network events in mask
// (FD_READ, FD_OOB, ...), or for the stop request when one is given: the
// events that happened, 0 when the time passed or the stop came first, -1
// when the wait failed; errors tells what went wrong with a connect.
//
// One event object per wait, chosen with WSAEventSelect: Winsock records a
// condition that already holds (data waiting, a closed connection) at once,
// so nothing that came before the wait is missed. The socket is blocking
// again afterwards unless it was switched to non-blocking for a connect.
long WaitForEvents(int socket, long mask, unsigned long timeoutMs, const CStopRequest* stop, int* connectError,
                   bool restoreBlocking)
{
    WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT)
        return -1;
    long found = -1;
    if (WSAEventSelect(Handle(socket), event, mask) == 0) {
        HANDLE handles[2] = {event, stop ? stop->Event().Handle() : nullptr};
        const DWORD result = WaitForMultipleObjects(stop ? 2 : 1, handles, FALSE, timeoutMs);
        WSANETWORKEVENTS events;
        if (result == WAIT_OBJECT_0 && WSAEnumNetworkEvents(Handle(socket), event, &events) == 0) {
            found = events.lNetworkEvents & mask;
            if (connectError)
                *connectError = events.iErrorCode[FD_CONNECT_BIT];
        } else if (result == WAIT_TIMEOUT || result == WAIT_OBJECT_0 + 1) {
            found = 0;
        }
        WSAEventSelect(Handle(socket), nullptr, 0);
        u_long off = 0;
        if (restoreBlocking && ioctlsocket(Handle(socket), FIONBIO, &off) != 0)
            found = -1;
    }
    WSACloseEvent(event);
    return found;
}

// As WaitForEvents, for the whole time: an event that is not one of those
// asked for (never, with one event object of our own) waits again.
long WaitFor(int socket, long mask, unsigned long timeoutMs, const CStopRequest* stop, int* connectError,
             bool restoreBlocking)
{
    const CWaitTime time(timeoutMs);
    for (;;) {
        const long found = WaitForEvents(socket, mask, time.Left(), stop, connectError, restoreBlocking);
        if (found != 0 || time.Left() == 0 || (stop && stop->Raised()))
            return found;
    }
}

}  // namespace

int NetOpenStream()
{
    // Winsock makes sockets inheritable: a command started with inherited
    // handles would otherwise keep the session open after the client lost it.
    std::lock_guard<CLock> hold(InheritanceLock());
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s != INVALID_SOCKET)
        KeepFromChildren(reinterpret_cast<HANDLE>(s));
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
        // FD_CONNECT comes for a made connection and for a refused one; its
        // error code tells them apart.
        int error = 0;
        connected = WaitFor(socket, FD_CONNECT, timeoutMs, stop, &error, false) > 0 && error == 0;
    }
    u_long off = 0;
    if (ioctlsocket(Handle(socket), FIONBIO, &off) != 0)
        return false;
    return connected;
}

// A closed or reset connection counts as readable, as select reports it:
// the receive then tells what happened.
int NetWaitReadable(int socket, unsigned long timeoutMs, const CStopRequest* stop)
{
    const long found = WaitFor(socket, FD_READ | FD_CLOSE, timeoutMs, stop, nullptr, true);
    return found < 0 ? -1 : found != 0 ? 1 : 0;
}

NetWait NetWaitSession(int socket, unsigned long timeoutMs, const CStopRequest* stop)
{
    // FD_OOB is the out-of-band data that select reports as an exception.
    const long found = WaitFor(socket, FD_READ | FD_CLOSE | FD_OOB, timeoutMs, stop, nullptr, true);
    if (found < 0)
        return NetWait::Failed;
    if (found & FD_OOB)
        return NetWait::Exception;
    return found != 0 ? NetWait::Readable : NetWait::Timeout;
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
