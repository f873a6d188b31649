// A computer that was suspended (hibernation, sleep) wakes with the client
// in the middle of a wait, and whatever it knew before is stale: the UPS may
// have gone back to mains or run down since, and an old deadline must not
// shut the computer down the moment it wakes. A wait that lasted far longer
// than it asked, on a clock that goes on while the computer is suspended,
// is the sign of it; the monitor then starts afresh.
#ifndef CVN_RESUME_H
#define CVN_RESUME_H

#include <cstdint>

namespace cvn {

// How much longer than asked a wait may take before it counts as a
// suspension: far more than a busy machine ever adds.
const std::uint32_t kSuspendedAfterMs = 30000;

// Milliseconds, wrapping at 2^32, of a clock that counts the time the
// computer was suspended (resume_win32.cpp, resume_posix.cpp).
std::uint32_t SuspendClock();

// By how many milliseconds a wait from tick start to tick end overran
// askedMs; 0 when it did not.
inline std::uint32_t Overrun(std::uint32_t start, std::uint32_t end, unsigned long askedMs)
{
    const std::uint32_t took = end - start;
    return took > askedMs ? took - static_cast<std::uint32_t>(askedMs) : 0;
}

// Measures one wait after another; Suspended() tells whether any of them
// since the last Reset overran by more than kSuspendedAfterMs.
class CResumeWatch {
public:
    void Begin() { m_dwStart = SuspendClock(); }
    void End(unsigned long askedMs)
    {
        const std::uint32_t overrun = Overrun(m_dwStart, SuspendClock(), askedMs);
        if (overrun > kSuspendedAfterMs && overrun > m_dwSuspendedMs)
            m_dwSuspendedMs = overrun;
    }
    // The longest overrun past the limit, in ms; 0 when there was none.
    std::uint32_t Suspended() const { return m_dwSuspendedMs; }
    void Reset() { m_dwSuspendedMs = 0; }

private:
    std::uint32_t m_dwStart = 0;
    std::uint32_t m_dwSuspendedMs = 0;
};

}  // namespace cvn

#endif
