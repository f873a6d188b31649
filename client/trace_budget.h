// The "RECV:" trace of a session: one line per read, as the server's bytes
// came, but within a budget. A server that floods the client with lines
// (a firmware fault, a loop on the server) would otherwise fill the disk
// through the trace file: some 230 MB a minute at the client's read size.
// Up to kReadsPerSecond reads a second are traced; the others are counted,
// and the next read traced says how many were left out. A server in order
// sends a few lines a minute and never meets the budget.
#ifndef CVN_TRACE_BUDGET_H
#define CVN_TRACE_BUDGET_H

#include <cstdint>

namespace cvn {

class CTraceBudget {
public:
    static const unsigned kReadsPerSecond = 10;

    // True when the read at tick is to be traced; *skipped is then how many
    // reads were not since the last one traced (0 when none).
    bool Allow(std::uint32_t tick, std::uint32_t* skipped);

private:
    bool m_bStarted = false;
    std::uint32_t m_uWindowStart = 0;
    unsigned m_uInWindow = 0;
    std::uint32_t m_uSkipped = 0;
};

}  // namespace cvn

#endif
