// Deadline arithmetic on 32-bit millisecond tick counts, kept apart from the
// clock so that it can be driven with any tick count, the wrap included.
#ifndef QMX_SRC_TICK_H
#define QMX_SRC_TICK_H

#include <atomic>
#include <cstdint>

namespace qmx {

// True when now lies after deadline. The counts wrap every 2^32 ms, so they
// are compared by their signed difference: a deadline up to 2^31 - 1 ms
// ahead is "not yet" whichever side of the wrap either count lies on, and
// one up to 2^31 ms behind is "passed".
inline bool TickIsAfter(std::uint32_t now, std::uint32_t deadline)
{
    return static_cast<std::int32_t>(now - deadline) > 0;
}

// The deadline timer. A plain pair of atomics, no lock: any thread may set
// or read it, and the last Set wins.
class CTickTimer {
public:
    void Set(std::uint32_t now, unsigned long milliseconds)
    {
        m_dwDeadline.store(now + static_cast<std::uint32_t>(milliseconds), std::memory_order_relaxed);
        m_bSet.store(true, std::memory_order_release);
    }

    bool HasExpired(std::uint32_t now) const
    {
        // Never set: the deadline is 0, and a timer nobody armed has always
        // run out, however long the system has been up (the signed
        // difference alone would call it pending for half of the ticks).
        if (!m_bSet.load(std::memory_order_acquire))
            return now > 0;
        return TickIsAfter(now, m_dwDeadline.load(std::memory_order_relaxed));
    }

private:
    std::atomic<std::uint32_t> m_dwDeadline{0};
    std::atomic<bool> m_bSet{false};
};

// The current tick count, from the platform's clock.
std::uint32_t CurrentTick();

}  // namespace qmx

#endif
