// The service's stop request as the monitor's thread sees it. The control
// handler raises it on its own thread; every wait of the monitor's thread
// (the pause after a failed attempt, the look-up, the connect, the replies,
// the session, a notice's program) waits for its event beside its own, so
// that a stop never waits for a 20-second pause or a 10-second connect, and
// no wait wakes just to look at it.
#ifndef CVN_STOP_REQUEST_H
#define CVN_STOP_REQUEST_H

#include <chrono>

#include "sync.h"

namespace cvn {

class CStopRequest {
public:
    void Raise() { m_event.Set(); }
    bool Raised() const { return m_event.IsSet(); }
    // Sleeps milliseconds, or less once the request is raised; true when it
    // slept the whole time.
    bool Sleep(unsigned long milliseconds) const { return !m_event.Wait(milliseconds); }
    // What a wait on something else waits for beside it.
    const CEvent& Event() const { return m_event; }

private:
    CEvent m_event;
};

// The time a wait has left, on the monotonic clock.
class CWaitTime {
public:
    explicit CWaitTime(unsigned long milliseconds)
        : m_end(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds))
    {
    }
    // Milliseconds to go; 0 once the time has passed.
    unsigned long Left() const
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<unsigned long>(left.count()) : 0;
    }

private:
    std::chrono::steady_clock::time_point m_end;
};

}  // namespace cvn

#endif
