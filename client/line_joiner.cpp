#include "line_joiner.h"

#include <algorithm>

#include <qmx/debug.h>

#include "line_rules.h"

namespace cvn {

namespace {

// The value settles a rule that looks at its first words: it holds them
// whole, or it already differs from them.
bool Settles(const std::string& value, const std::string& words)
{
    const std::size_t n = std::min(value.size(), words.size());
    return value.size() >= words.size() || value.compare(0, n, words, 0, n) != 0;
}

}  // namespace

bool SettlesItsRule(const std::string& line)
{
    std::string value;
    switch (MatchLine(line, value)) {
    case LineValue::BatteryStatus:
        return Settles(value, "OK");
    case LineValue::OutputSource:
        return Settles(value, "Battery");
    case LineValue::None:
        break;
    }
    return false;
}

CJoinedLines CLineJoiner::Take(const char* data, std::size_t length)
{
    CJoinedLines lines;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (c == '\0') {
            Clear();
            return lines;
        }
        if (c == '\r' || c == '\n') {
            if (!m_partial.empty())
                lines.whole += m_partial + '\n';
            m_partial.clear();
            m_bDropping = false;
            continue;
        }
        if (m_bDropping)
            continue;
        if (m_partial.size() == kLongestLine) {
            m_partial.clear();
            m_bDropping = true;
            lines.droppedLong = true;
            continue;
        }
        m_partial += c;
    }
    if (SettlesItsRule(m_partial))
        lines.settled = m_partial;
    return lines;
}

std::string ApplyRead(CLineJoiner& joiner, const char* data, std::size_t length, bool& onBattery, bool& batteryLow,
                      const std::string& traceTag)
{
    const CJoinedLines lines = joiner.Take(data, length);
    if (lines.droppedLong)
        qmx::CDebug::Trace(qmx::CDebug::TraceError, "%sA line longer than %u bytes, dropped up to its end\n",
                           traceTag.c_str(), static_cast<unsigned>(CLineJoiner::kLongestLine));
    const std::string rules = lines.whole + lines.settled;
    ApplyLines(rules.data(), rules.size(), onBattery, batteryLow);
    return lines.whole;
}

void CLineJoiner::Clear()
{
    m_partial.clear();
    m_bDropping = false;
}

}  // namespace cvn
