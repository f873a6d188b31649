// Windows code only: the session's socket calls on Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "children.h"
#include "net_addrinfo.h"
#include "server_address.h"
#include "stop_request.h"

namespace cvn {

namespace {

// getaddrinfo, freeaddrinfo and getnameinfo came with Windows XP: looked up
// in ws2_32.dll (loaded with the program), never imported, so that the
// program still loads on Windows 98 SE, NT 4.0 and 2000, which keep
// gethostbyname and IPv4.
typedef int(WSAAPI* GetAddrInfoFn)(const char*, const char*, const addrinfo*, addrinfo**);
typedef void(WSAAPI* FreeAddrInfoFn)(addrinfo*);
typedef int(WSAAPI* GetNameInfoFn)(const sockaddr*, int, char*, DWORD, char*, DWORD, int);

std::atomic<bool> g_bOldResolver{false};

struct CAddressCalls {
    GetAddrInfoFn getaddrinfo = nullptr;
    FreeAddrInfoFn freeaddrinfo = nullptr;
    GetNameInfoFn getnameinfo = nullptr;

    CAddressCalls()
    {
        HMODULE winsock = GetModuleHandleA("ws2_32.dll");
        if (!winsock)
            return;
        getaddrinfo = reinterpret_cast<GetAddrInfoFn>(reinterpret_cast<void*>(GetProcAddress(winsock, "getaddrinfo")));
        freeaddrinfo =
            reinterpret_cast<FreeAddrInfoFn>(reinterpret_cast<void*>(GetProcAddress(winsock, "freeaddrinfo")));
        getnameinfo =
            reinterpret_cast<GetNameInfoFn>(reinterpret_cast<void*>(GetProcAddress(winsock, "getnameinfo")));
    }

    bool Usable() const { return getaddrinfo && freeaddrinfo && !g_bOldResolver; }

    bool Lookup(const char* name, int family, int flags, CNetAddresses* addresses) const
    {
        return LookupAddresses<addrinfo>(getaddrinfo, freeaddrinfo, name, family, flags, addresses);
    }
};

// Made before main: no first use races to look the calls up.
const CAddressCalls g_addressCalls;

const CAddressCalls& AddressCalls()
{
    return g_addressCalls;
}

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

int NetOpenStream(bool v6, bool* noFamily)
{
    // Winsock makes sockets inheritable: a command started with inherited
    // handles would otherwise keep the session open after the client lost it.
    std::lock_guard<CLock> hold(InheritanceLock());
    SOCKET s = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (noFamily)
        *noFamily = s == INVALID_SOCKET && WSAGetLastError() == WSAEAFNOSUPPORT;
    if (s != INVALID_SOCKET)
        KeepFromChildren(reinterpret_cast<HANDLE>(s));
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

namespace {

void TakeIPv4(const void* bytes, CNetAddresses* addresses)
{
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    std::memcpy(&target.sin_addr, bytes, sizeof target.sin_addr);
    TakeAddress(reinterpret_cast<sockaddr*>(&target), sizeof target, addresses);
}

IN_ADDR DottedAddress(const std::string& text)
{
    IN_ADDR address;
    address.s_addr = inet_addr(text.c_str());
    return address;
}

}  // namespace

NetLiteral NetLiteralAddress(const CServerAddress& parsed, CNetAddresses* addresses)
{
    addresses->clear();
    if (parsed.kind == AddressKind::IPv4) {
        const IN_ADDR address = DottedAddress(parsed.host);
        TakeIPv4(&address, addresses);
        return NetLiteral::Found;
    }
    const CAddressCalls& calls = AddressCalls();
    if (!calls.Usable())
        return NetLiteral::NotSupported;
    // Windows reads a zone by its interface number only.
    if (!parsed.zone.empty() && !ZoneIsNumber(parsed.zone))
        return NetLiteral::ZoneNotNumber;
    if (calls.Lookup(parsed.host.c_str(), AF_INET6, AI_NUMERICHOST, addresses))
        return NetLiteral::Found;
    // XP without its IPv6 stack reads no IPv6 address at all: that is what
    // the administrator must hear, not that the address is wrong.
    bool noFamily = false;
    const int probe = NetOpenStream(true, &noFamily);
    if (probe != -1)
        NetClose(probe);
    return noFamily ? NetLiteral::NoIPv6 : NetLiteral::Invalid;
}

bool NetResolveHost(const char* name, CNetAddresses* addresses)
{
    addresses->clear();
    const CAddressCalls& calls = AddressCalls();
    if (calls.Usable())
        return calls.Lookup(name, AF_UNSPEC, 0, addresses);
    // Before XP: the IPv4 addresses of the name, all of them.
    hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list)
        return false;
    for (char** entry = host->h_addr_list; *entry; ++entry)
        TakeIPv4(*entry, addresses);
    return !addresses->empty();
}

std::string NetAddressText(const CNetAddress& address, std::uint16_t port)
{
    char host[NI_MAXHOST] = "?";
    if (address.v6) {
        const CAddressCalls& calls = AddressCalls();
        if (calls.getnameinfo)
            calls.getnameinfo(reinterpret_cast<const sockaddr*>(address.storage), static_cast<int>(address.length),
                              host, sizeof host, nullptr, 0, NI_NUMERICHOST);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    // Formatted here: inet_ntoa's buffer is shared by the thread's calls.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const sockaddr_in*>(address.storage)->sin_addr);
    std::snprintf(host, sizeof host, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return std::string(host) + ":" + std::to_string(port);
}

void NetUseOldResolver(bool old)
{
    g_bOldResolver = old;
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

    u_long on = 1;
    if (ioctlsocket(Handle(socket), FIONBIO, &on) != 0)
        return false;
    bool connected =
        connect(Handle(socket), reinterpret_cast<sockaddr*>(&target), static_cast<int>(address.length)) == 0;
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
