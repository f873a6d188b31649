#include "liveness.h"

namespace cvn {

void CLiveness::Heard(std::uint32_t now)
{
    m_dwHeard = now;
    m_bQueried = false;
}

CLiveness::Due CLiveness::Check(std::uint32_t now)
{
    // Unsigned differences stay right across the wrap of the tick count.
    if (m_bQueried)
        return now - m_dwQueried >= kQuietMs ? Due::Lost : Due::Nothing;
    if (now - m_dwHeard >= kQuietMs) {
        m_bQueried = true;
        m_dwQueried = now;
        return Due::Query;
    }
    return Due::Nothing;
}

std::uint32_t CLiveness::TimeLeft(std::uint32_t now) const
{
    // The question has its full time for an answer, however late it went.
    std::uint32_t since = now - (m_bQueried ? m_dwQueried : m_dwHeard);
    return since >= kQuietMs ? 0 : kQuietMs - since;
}

}  // namespace cvn
