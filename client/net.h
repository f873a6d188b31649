// The socket calls of the UPS server session. The session socket is held in
// an int, -1 meaning none, as the monitor keeps it; on Windows it is the
// Winsock handle, natively a file descriptor.
#ifndef CVN_NET_H
#define CVN_NET_H

#include <cstdint>
#include <string>
#include <vector>

namespace cvn {

class CStopRequest;
struct CServerAddress;

// One address of the server as the socket calls take it: the system's
// socket address of its family (IPv4 or IPv6), the port left to the connect.
struct CNetAddress {
    bool v6 = false;
    unsigned length = 0;
    unsigned char storage[32] = {};
};
typedef std::vector<CNetAddress> CNetAddresses;

// A new stream socket of the address's family, or -1; noFamily tells that
// the system has no such family at all (Windows XP without its IPv6 stack).
int NetOpenStream(bool v6 = false, bool* noFamily = nullptr);
// The address of a literal (ParseServerAddress said IPv4 or IPv6), never
// looked up. NotSupported: a Windows without getaddrinfo (before XP);
// NoIPv6: a system without its IPv6 stack.
enum class NetLiteral { Found, Invalid, ZoneNotNumber, NotSupported, NoIPv6 };
NetLiteral NetLiteralAddress(const CServerAddress& parsed, CNetAddresses* addresses);
// Every address of a host name, both families, in the order the system
// gives them; false when the name does not resolve. Blocks for as long as
// the system's resolver takes: the session looks names up through
// resolver.h, within its budget.
bool NetResolveHost(const char* name, CNetAddresses* addresses);
// "127.0.0.1:8888", "[::1]:8888": an address with its port for the trace.
std::string NetAddressText(const CNetAddress& address, std::uint16_t port);
#if defined(_WIN32)
// For the tests: the road of Windows 98 SE, NT 4.0 and 2000, which have no
// getaddrinfo, on a Windows (or Wine) that has it.
void NetUseOldResolver(bool old);
#endif
// The waits below end after timeoutMs, or earlier, as if the time had
// passed, once stop (when given) is raised.
//
// Connects to address:port (port in host order) and waits at most timeoutMs
// for the connection; true when it is made. The socket is blocking again
// afterwards.
bool NetConnect(int socket, const CNetAddress& address, std::uint16_t port, unsigned long timeoutMs,
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
