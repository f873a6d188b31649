// Host-name look-ups that keep to the session's budget. The system's
// resolver may take far longer than an attempt may last (the name server
// lost power too), and it cannot be interrupted: each look-up runs on a
// thread of the resolver's own, and the caller waits only as long as its
// budget allows. One look-up is in flight at a time, so a dead name server
// costs one thread, never one per attempt. A look-up whose caller gave up
// goes on; its answer serves the next look-up of the same name, once.
#ifndef CVN_RESOLVER_H
#define CVN_RESOLVER_H

#include <cstdint>

namespace cvn {

class CStopRequest;

enum class Lookup { Found, NotFound, TimedOut };

// The first IPv4 address of name, in network byte order, within timeoutMs
// (or less, as a timeout, once stop is raised).
Lookup ResolveHostWithin(const char* name, std::uint32_t* address, unsigned long timeoutMs,
                         const CStopRequest* stop = nullptr);

// The blocking look-up that the resolver's thread calls: NetResolveHost
// unless a test puts a slow one of its own in its place.
typedef bool (*HostLookup)(const char* name, std::uint32_t* address);
void SetHostLookup(HostLookup lookup);

}  // namespace cvn

#endif
