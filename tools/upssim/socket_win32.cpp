// Windows code only: the simulator's sockets over Winsock.
//
// select() takes a fixed set; a test run may hold more than the default 64
// sockets of one simulator, so the set is made larger before winsock2.h.
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <ws2tcpip.h>

#include "upssim/socket.h"

#include <cstdio>
#include <cstring>

#include "upssim/loopback.h"

namespace upssim {
namespace net {

const Socket kInvalid = static_cast<Socket>(INVALID_SOCKET);

namespace {

SOCKET Handle(Socket s)
{
    return static_cast<SOCKET>(s);
}

void SetNonBlocking(SOCKET s)
{
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

// Winsock makes sockets inheritable: the programs that a test starts (the
// client, and through it the commands it runs) would otherwise hold the
// simulator's sockets, so that a socket closed here lived on in them and the
// same socket object was polled from several processes at once.
SOCKET Own(SOCKET s)
{
    if (s != INVALID_SOCKET)
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return s;
}

long Result(int n)
{
    if (n >= 0)
        return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kError;
}

}  // namespace

bool Startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void Cleanup()
{
    WSACleanup();
}

Socket Listen(std::uint16_t port, int backlog, std::string* error, bool v6)
{
    SOCKET s = Own(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    if (s == INVALID_SOCKET) {
        if (error)
            *error = LastError();
        return kInvalid;
    }
    sockaddr_in address4 = Loopback(port);
    sockaddr_in6 address6 = Loopback6(port);
    // Only IPv6 on the IPv6 listener: the IPv4 one has its own.
    const DWORD on = 1;
    if (v6)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    const sockaddr* address = v6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
    if (bind(s, address, v6 ? sizeof address6 : sizeof address4) != 0 ||
        listen(s, backlog) != 0) {
        if (error)
            *error = LastError();
        closesocket(s);
        return kInvalid;
    }
    SetNonBlocking(s);
    return static_cast<Socket>(s);
}

std::uint16_t LocalPort(Socket s)
{
    // The port lies at the same place in both families' addresses.
    sockaddr_in6 address;
    int length = sizeof address;
    if (getsockname(Handle(s), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin6_port);
}

Socket Accept(Socket listener, std::string* peer)
{
    sockaddr_storage address;
    int length = sizeof address;
    SOCKET s = Own(accept(Handle(listener), reinterpret_cast<sockaddr*>(&address), &length));
    if (s == INVALID_SOCKET)
        return kInvalid;
    SetNonBlocking(s);
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    if (peer) {
        char host[NI_MAXHOST] = "?";
        char port[NI_MAXSERV] = "?";
        getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV);
        *peer = (address.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + port;
    }
    return static_cast<Socket>(s);
}

Socket ConnectLoopback(std::uint16_t port)
{
    SOCKET s = Own(socket(AF_INET, SOCK_STREAM, 0));
    if (s == INVALID_SOCKET)
        return kInvalid;
    sockaddr_in address = Loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return kInvalid;
    }
    return static_cast<Socket>(s);
}

Socket ConnectLoopbackPending(std::uint16_t port, bool v6)
{
    SOCKET s = Own(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    if (s == INVALID_SOCKET)
        return kInvalid;
    SetNonBlocking(s);
    sockaddr_in address4 = Loopback(port);
    sockaddr_in6 address6 = Loopback6(port);
    const sockaddr* address = v6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
    if (connect(s, address, v6 ? sizeof address6 : sizeof address4) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        closesocket(s);
        return kInvalid;
    }
    return static_cast<Socket>(s);
}

Socket OpenWaker()
{
    SOCKET s = Own(socket(AF_INET, SOCK_DGRAM, 0));
    if (s == INVALID_SOCKET)
        return kInvalid;
    sockaddr_in address = Loopback(0);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return kInvalid;
    }
    SetNonBlocking(s);
    return static_cast<Socket>(s);
}

void Wake(Socket waker)
{
    sockaddr_in address = Loopback(LocalPort(waker));
    char byte = 0;
    sendto(Handle(waker), &byte, 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

void Drain(Socket waker)
{
    char buffer[64];
    while (recv(Handle(waker), buffer, sizeof buffer, 0) > 0) {
    }
}

long Recv(Socket s, char* buffer, std::size_t size)
{
    return Result(recv(Handle(s), buffer, static_cast<int>(size), 0));
}

long Send(Socket s, const char* data, std::size_t size)
{
    return Result(send(Handle(s), data, static_cast<int>(size), 0));
}

long SendUrgent(Socket s, char byte)
{
    return Result(send(Handle(s), &byte, 1, MSG_OOB));
}

long RecvUrgent(Socket s, char* byte)
{
    return Result(recv(Handle(s), byte, 1, MSG_OOB));
}

void Close(Socket s)
{
    if (s != kInvalid)
        closesocket(Handle(s));
}

bool WaitReadable(const std::vector<Socket>& sockets, long timeoutMs, std::vector<bool>* readable)
{
    readable->assign(sockets.size(), false);
    fd_set reads;
    FD_ZERO(&reads);
    for (Socket s : sockets)
        FD_SET(Handle(s), &reads);
    if (timeoutMs < 0)
        timeoutMs = 0;
    timeval timeout = {static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    // Winsock's select fails on an empty set instead of sleeping.
    if (sockets.empty()) {
        Sleep(static_cast<DWORD>(timeoutMs));
        return true;
    }
    if (select(0, &reads, nullptr, nullptr, &timeout) < 0)
        return false;
    for (std::size_t i = 0; i < sockets.size(); ++i)
        (*readable)[i] = FD_ISSET(Handle(sockets[i]), &reads) != 0;
    return true;
}

std::string LastError()
{
    int code = WSAGetLastError();
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = "socket error " + std::to_string(code);
    if (text) {
        std::string message = text;
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
            message.pop_back();
        result += ": " + message;
        LocalFree(text);
    }
    return result;
}

}  // namespace net
}  // namespace upssim
