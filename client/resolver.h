// Host-name look-ups that keep to the session's budget. The system's
// resolver may take far longer than an attempt may last (the name server
// lost power too), and it cannot be interrupted: each look-up runs on a
// thread of the resolver's own, and the caller waits only as long as its
// budget allows. Each server has a look-up thread of its own, so that a name
// that never resolves holds up its own server's session only. One look-up
// per server is in flight at a time, so a dead name server costs one thread
// per server, never one per attempt. A look-up whose caller gave up goes on;
// its answer serves the next look-up of the same server and name, once.
#ifndef CVN_RESOLVER_H
#define CVN_RESOLVER_H

#include <string>

#include "net.h"

namespace cvn {

class CStopRequest;

enum class Lookup { Found, NotFound, TimedOut };

// Every address of name, in the system's order, within timeoutMs (or less,
// as a timeout, once stop is raised). server names whose look-up this is:
// the section of its settings.
Lookup ResolveHostWithin(const std::string& server, const char* name, CNetAddresses* addresses,
                         unsigned long timeoutMs, const CStopRequest* stop = nullptr);

// The blocking look-up that the resolvers' threads call: NetResolveHost
// unless a test puts a slow one of its own in its place.
typedef bool (*HostLookup)(const char* name, CNetAddresses* addresses);
void SetHostLookup(HostLookup lookup);

}  // namespace cvn

#endif
