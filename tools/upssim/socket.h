// The few socket operations the simulator needs, over BSD sockets natively
// and Winsock on Windows, so that the server logic stays portable.
#ifndef UPSSIM_SOCKET_H
#define UPSSIM_SOCKET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace upssim {
namespace net {

// A socket handle of either platform; kInvalid means none.
typedef std::uintptr_t Socket;
extern const Socket kInvalid;

// Results of Recv and Send besides a byte count.
enum : long { kClosed = 0, kError = -1, kWouldBlock = -2 };

// Winsock needs a start per user; natively these do nothing.
bool Startup();
void Cleanup();

// A non-blocking listener on 127.0.0.1 (on ::1 with v6); port 0 takes a
// free one. backlog is passed to listen() unchanged.
Socket Listen(std::uint16_t port, int backlog, std::string* error, bool v6 = false);
std::uint16_t LocalPort(Socket s);
// A non-blocking connection with Nagle's delay off (every send leaves as its
// own segment, which the split faults depend on), or kInvalid.
Socket Accept(Socket listener, std::string* peer);
// A blocking connection to 127.0.0.1:port, or kInvalid.
Socket ConnectLoopback(std::uint16_t port);
// A non-blocking connect to 127.0.0.1:port (or [::1]:port) that is left
// pending.
Socket ConnectLoopbackPending(std::uint16_t port, bool v6 = false);

// A datagram socket on 127.0.0.1 that wakes a select: Wake sends it an empty
// datagram, Drain discards what arrived.
Socket OpenWaker();
void Wake(Socket waker);
void Drain(Socket waker);

long Recv(Socket s, char* buffer, std::size_t size);
long Send(Socket s, const char* data, std::size_t size);
long SendUrgent(Socket s, char byte);
// Takes the out-of-band byte that a peer sent, where there is one.
long RecvUrgent(Socket s, char* byte);
void Close(Socket s);

// Waits at most timeoutMs for any of the sockets to become readable (or to
// have an exception condition, where asked); readable[i] tells which.
// Returns false when the wait itself fails.
bool WaitReadable(const std::vector<Socket>& sockets, long timeoutMs, std::vector<bool>* readable);

// Text of the last socket error of the calling thread.
std::string LastError();

}  // namespace net
}  // namespace upssim

#endif
