#include "resolver.h"

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
    Lookup Resolve(const char* name, std::uint32_t* address, unsigned long timeoutMs, const CStopRequest* stop);
    void SetLookup(HostLookup lookup)
    {
        std::lock_guard<CLock> lock(m_lock);
        m_pLookup = lookup;
    }

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
    HostLookup m_pLookup = NetResolveHost;
    // The look-up in flight (m_bBusy), or the last one made.
    std::string m_strName;
    bool m_bBusy = false;
    // Look-ups completed so far; a waiter knows its own by the count.
    unsigned long m_dwCompleted = 0;
    // The last answer, not yet taken by anyone.
    bool m_bUnclaimed = false;
    bool m_bFound = false;
    std::uint32_t m_dwAddress = 0;
};

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

Lookup CResolver::Resolve(const char* name, std::uint32_t* address, unsigned long timeoutMs,
                          const CStopRequest* stop)
{
    const CWaitTime time(timeoutMs);
    std::unique_lock<CLock> lock(m_lock);
    bool joined = m_bBusy && m_strName == name;
    if (!joined && !(m_bUnclaimed && m_strName == name)) {
        // Another name's look-up must end first: one in flight at a time.
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
    *address = m_dwAddress;
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
        HostLookup lookup = m_pLookup;
        lock.unlock();
        std::uint32_t address = 0;
        bool found = lookup(name.c_str(), &address);
        lock.lock();
        m_bFound = found;
        m_dwAddress = address;
        m_bUnclaimed = true;
        m_bBusy = false;
        ++m_dwCompleted;
        m_changed.Set();
    }
}

// Made on first use and never destroyed: its thread may outlive main.
CResolver& TheResolver()
{
    static CResolver* resolver = new CResolver();
    return *resolver;
}

}  // namespace

Lookup ResolveHostWithin(const char* name, std::uint32_t* address, unsigned long timeoutMs,
                         const CStopRequest* stop)
{
    return TheResolver().Resolve(name, address, timeoutMs, stop);
}

void SetHostLookup(HostLookup lookup)
{
    TheResolver().SetLookup(lookup ? lookup : NetResolveHost);
}

}  // namespace cvn
