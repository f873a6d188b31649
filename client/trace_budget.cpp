#include "trace_budget.h"

namespace cvn {

bool CTraceBudget::Allow(std::uint32_t tick, std::uint32_t* skipped)
{
    // Wrap-safe: the difference of two tick counts.
    if (!m_bStarted || tick - m_uWindowStart >= 1000u) {
        m_bStarted = true;
        m_uWindowStart = tick;
        m_uInWindow = 0;
    }
    if (m_uInWindow >= kReadsPerSecond) {
        // Saturates rather than wraps: a count that restarts at 0 would
        // read as "nothing left out".
        if (m_uSkipped != 0xFFFFFFFFu)
            ++m_uSkipped;
        return false;
    }
    ++m_uInWindow;
    *skipped = m_uSkipped;
    m_uSkipped = 0;
    return true;
}

}  // namespace cvn
