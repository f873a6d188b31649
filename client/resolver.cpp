#include "resolver.h"

#include <map>
#include <mutex>
#include <string>

#include "net.h"
#include "stop_request.h"
#include "sync.h"

namespace cvn {

namespace {

const unsigned long kForever = 0xFFFFFFFFul;

class CResolver {
public:
    Lookup Resolve(const char* name, CNetAddresses* addresses, unsigned long timeoutMs, const CStopRequest* stop);

private:
    // Waits on m_changed until ready holds, the time is up or stop is raised.
    template <typename Ready>
    bool WaitUntil(std::unique_lock<CLock>& lock, const CWaitTime& time, const CStopRequest* stop, Ready ready);
    static void RunWorker(void* resolver) { static_cast<CResolver*>(resolver)->Work(); }
    void Work();

    // m_changed is set, under the lock, whenever a look-up ends; a waiter
    // resets it under the lock before it lets go, so that no end is missed.
    // m_work wakes the thread for a new look-up.
    CLock m_lock;
    CEvent m_changed;
    CEvent m_work;
    bool m_bThread = false;
    // The look-up in flight (m_bBusy), or the last one made.
    std::string m_strName;
    bool m_bBusy = false;
    // Look-ups completed so far; a waiter knows its own by the count.
    unsigned long m_dwCompleted = 0;
    // The last answer, not yet taken by anyone.
    bool m_bUnclaimed = false;
    bool m_bFound = false;
    CNetAddresses m_addresses;
};

// The look-up that the threads call; a test may change it.
CLock g_lookupLock;
HostLookup g_pLookup = NetResolveHost;

HostLookup CurrentLookup()
{
    std::lock_guard<CLock> lock(g_lookupLock);
    return g_pLookup;
}

template <typename Ready>
bool CResolver::WaitUntil(std::unique_lock<CLock>& lock, const CWaitTime& time, const CStopRequest* stop,
                          Ready ready)
{
    while (!ready()) {
        const unsigned long left = time.Left();
        if (left == 0 || (stop && stop->Raised()))
            return false;
        m_changed.Reset();
        lock.unlock();
        if (stop)
            CEvent::WaitEither(m_changed, stop->Event(), left);
        else
            m_changed.Wait(left);
        lock.lock();
    }
    return true;
}

Lookup CResolver::Resolve(const char* name, CNetAddresses* addresses, unsigned long timeoutMs,
                          const CStopRequest* stop)
{
    const CWaitTime time(timeoutMs);
    std::unique_lock<CLock> lock(m_lock);
    bool joined = m_bBusy && m_strName == name;
    if (!joined && !(m_bUnclaimed && m_strName == name)) {
        // Another name's look-up of this server must end first: one in
        // flight at a time.
        if (!WaitUntil(lock, time, stop, [this] { return !m_bBusy; }))
            return Lookup::TimedOut;
        if (!(m_bUnclaimed && m_strName == name)) {
            if (!m_bThread) {
                // Never joined: at the end of the process it may still be
                // waiting for a name server that does not answer.
                if (!StartDetachedThread(RunWorker, this))
                    return Lookup::NotFound;
                m_bThread = true;
            }
            m_strName = name;
            m_bBusy = true;
            m_bUnclaimed = false;
            joined = true;
            m_work.Set();
        }
    }
    if (joined) {
        unsigned long completed = m_dwCompleted;
        if (!WaitUntil(lock, time, stop, [&] { return m_dwCompleted != completed; }))
            return Lookup::TimedOut;
    }
    m_bUnclaimed = false;
    *addresses = m_addresses;
    return m_bFound ? Lookup::Found : Lookup::NotFound;
}

void CResolver::Work()
{
    std::unique_lock<CLock> lock(m_lock);
    for (;;) {
        while (!m_bBusy) {
            m_work.Reset();
            lock.unlock();
            m_work.Wait(kForever);
            lock.lock();
        }
        std::string name = m_strName;
        lock.unlock();
        CNetAddresses addresses;
        bool found = CurrentLookup()(name.c_str(), &addresses);
        lock.lock();
        m_bFound = found && !addresses.empty();
        m_addresses.swap(addresses);
        m_bUnclaimed = true;
        m_bBusy = false;
        ++m_dwCompleted;
        m_changed.Set();
    }
}

// One resolver per server, made on its first look-up and never destroyed:
// its thread may outlive main. The servers are the few sections of the
// settings, so the table stays small.
CLock g_resolversLock;
std::map<std::string, CResolver*>* g_pResolvers = nullptr;

CResolver& ResolverOf(const std::string& server)
{
    std::lock_guard<CLock> lock(g_resolversLock);
    if (!g_pResolvers)
        g_pResolvers = new std::map<std::string, CResolver*>();
    CResolver*& resolver = (*g_pResolvers)[server];
    if (!resolver)
        resolver = new CResolver();
    return *resolver;
}

}  // namespace

Lookup ResolveHostWithin(const std::string& server, const char* name, CNetAddresses* addresses,
                         unsigned long timeoutMs, const CStopRequest* stop)
{
    return ResolverOf(server).Resolve(name, addresses, timeoutMs, stop);
}

void SetHostLookup(HostLookup lookup)
{
    std::lock_guard<CLock> lock(g_lookupLock);
    g_pLookup = lookup ? lookup : NetResolveHost;
}

}  // namespace cvn
