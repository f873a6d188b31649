// The service's stop request as the monitor's thread sees it. The control
// handler raises it on its own thread; every wait of the monitor's thread
// (the pause after a failed attempt, the connect, the replies, the session,
// a notice's program) ends early once it is raised, so that a stop never
// waits for a 20-second pause or a 10-second connect.
#ifndef CVN_STOP_REQUEST_H
#define CVN_STOP_REQUEST_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace cvn {

// A wait that cannot wake on the request itself (a socket, a program) looks
// at it at least this often.
const unsigned long kStopSliceMs = 100;

class CStopRequest {
public:
    void Raise();
    bool Raised() const { return m_bRaised.load(); }
    // Sleeps milliseconds, or less once the request is raised; true when it
    // slept the whole time.
    bool Sleep(unsigned long milliseconds) const;

private:
    std::atomic<bool> m_bRaised{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_raised;
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

// The next slice of a wait with left milliseconds to go: all of it when no
// request can end it (stop is null), otherwise at most kStopSliceMs.
inline unsigned long StopSlice(const CStopRequest* stop, unsigned long left)
{
    return stop && left > kStopSliceMs ? kStopSliceMs : left;
}

}  // namespace cvn

#endif
