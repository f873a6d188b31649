// The socket calls of the UPS server session. The session socket is held in
// an int, -1 meaning none, as the monitor keeps it; on Windows it is the
// Winsock handle, natively a file descriptor.
#ifndef CVN_NET_H
#define CVN_NET_H

#include <cstdint>

namespace cvn {

class CStopRequest;

// A new IPv4 stream socket, or -1.
int NetOpenStream();
// The address of a dotted decimal text in network byte order, as inet_addr
// gives it: not checked, so a malformed text gives its error value.
std::uint32_t NetParseAddress(const char* text);
// The first IPv4 address of a host name, in network byte order; false when
// the name does not resolve. Blocks for as long as the system's resolver
// takes: the session looks names up through resolver.h, within its budget.
bool NetResolveHost(const char* name, std::uint32_t* address);
// The waits below end after timeoutMs, or earlier, as if the time had
// passed, once stop (when given) is raised.
//
// Connects to address:port (port in host order) and waits at most timeoutMs
// for the connection; true when it is made. The socket is blocking again
// afterwards.
bool NetConnect(int socket, std::uint32_t address, std::uint16_t port, unsigned long timeoutMs,
                const CStopRequest* stop = nullptr);
// Waits at most timeoutMs for data to read: 1 when there is some, 0 when the
// time passed, -1 when the wait failed.
int NetWaitReadable(int socket, unsigned long timeoutMs, const CStopRequest* stop = nullptr);
// The monitor's wait on the session: data to read, or an exception
// condition (out-of-band data has arrived).
enum class NetWait { Timeout, Readable, Exception, Failed };
NetWait NetWaitSession(int socket, unsigned long timeoutMs, const CStopRequest* stop = nullptr);
// One receive / one send; the byte count, 0 when the peer closed the
// connection (receive), negative on error.
int NetReceive(int socket, char* buffer, int size);
int NetSend(int socket, const char* data, int size);
void NetClose(int socket);

}  // namespace cvn

#endif
