// Windows code only: the session's socket calls on Winsock.
#include <winsock2.h>

#include "net.h"

#include <cstring>

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

bool NetConnect(int socket, std::uint32_t address, std::uint16_t port, unsigned long timeoutMs)
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
        fd_set writes, failures;
        FD_ZERO(&writes);
        FD_ZERO(&failures);
        FD_SET(Handle(socket), &writes);
        FD_SET(Handle(socket), &failures);
        timeval timeout = Timeout(timeoutMs);
        if (select(socket + 1, nullptr, &writes, &failures, &timeout) > 0)
            connected = FD_ISSET(Handle(socket), &writes) && !FD_ISSET(Handle(socket), &failures);
    }
    u_long off = 0;
    if (ioctlsocket(Handle(socket), FIONBIO, &off) != 0)
        return false;
    return connected;
}

int NetWaitReadable(int socket, unsigned long timeoutMs)
{
    fd_set reads;
    FD_ZERO(&reads);
    FD_SET(Handle(socket), &reads);
    timeval timeout = Timeout(timeoutMs);
    int result = select(socket + 1, &reads, nullptr, nullptr, &timeout);
    if (result < 0)
        return -1;
    return FD_ISSET(Handle(socket), &reads) ? 1 : 0;
}

NetWait NetWaitSession(int socket, unsigned long timeoutMs)
{
    fd_set reads, exceptions;
    FD_ZERO(&reads);
    FD_ZERO(&exceptions);
    FD_SET(Handle(socket), &reads);
    FD_SET(Handle(socket), &exceptions);
    timeval timeout = Timeout(timeoutMs);
    if (select(socket + 1, &reads, nullptr, &exceptions, &timeout) < 0)
        return NetWait::Failed;
    if (FD_ISSET(Handle(socket), &exceptions))
        return NetWait::Exception;
    return FD_ISSET(Handle(socket), &reads) ? NetWait::Readable : NetWait::Timeout;
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
