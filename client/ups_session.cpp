#include "ups_session.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include <qmx/debug.h>
#include <qmx/time.h>

#include "exception.h"
#include "ini_file.h"
#include "line_joiner.h"
#include "trace_budget.h"
#include "line_rules.h"
#include "liveness.h"
#include "net.h"
#include "resume.h"
#include "servers.h"
#include "settings_snapshot.h"

using qmx::CDebug;

namespace cvn {

namespace {

const unsigned long kPauseOnBatteryMs = 1000;
const unsigned long kPauseOnMainsMs = 20000;
// While a shutdown is ahead, no wait goes past it; this little is always waited.
const unsigned long kShortestWaitMs = 5;
const int kReceiveSize = 1000;
const char kLivenessQuery[] = "GetValue(Output Source)\r\n";

std::uint32_t Now()
{
    return static_cast<std::uint32_t>(qmx::GetMillSecCount());
}

struct CSessionThread {
    std::shared_ptr<CUpsBoard> board;
    std::size_t ups = 0;
    std::string iniFile;
    std::string section;
    bool named = true;
    std::shared_ptr<const CSettingsSnapshot> settings;
};

class CUpsSession {
public:
    explicit CUpsSession(const CSessionThread& own)
        : m_board(*own.board), m_ups(own.ups)
    {
        m_request.iniFile = own.iniFile;
        m_request.section = own.section;
        m_request.named = own.named;
        if (own.named)
            m_request.traceTag = "[" + own.section + "] ";
        m_request.stop = &m_board.Stop();
        m_request.settings = own.settings;
        m_facts.ups = own.section;
    }

    void Run()
    {
        while (!m_board.Stop().Raised() && !m_bEnded) {
            if (m_socket == -1)
                Connect();
            else
                Serve();
        }
        if (m_socket != -1)
            NetClose(m_socket);
    }

private:
    // The server as the settings give it now, on the board for the commands.
    // False when the single server's address is gone: that ends the
    // monitor, as it always has.
    bool Publish()
    {
        const CServerEntry server = m_request.Server();
        if (!m_request.named && server.address.empty()) {
            CCVNException(MSG_NO_SERVER_ADDRESS, 0).Report();
            m_board.Fail(MSG_NO_SERVER_ADDRESS);
            return false;
        }
        m_facts.server = server.address;
        m_facts.port = server.port;
        m_name = ServerName(server);
        m_address = server.address;
        m_board.Publish(m_ups, m_facts, m_name);
        return true;
    }

    void Connect()
    {
        if (!Publish()) {
            m_bEnded = true;
            return;
        }
        // While a shutdown is ahead the attempt ends by then: its report
        // (cannot connect) comes before the shutdown's.
        const std::int64_t left = m_board.ShutdownIn(Now());
        m_request.limited = left >= 0;
        m_request.budgetMs = left >= 0 ? std::max(static_cast<unsigned long>(left), kShortestWaitMs) : 0;
        m_socket = OpenUpsSession(m_request);
        if (m_socket != -1) {
            m_lines.Clear();
            if (m_request.named)
                CCVNException(MSG_CONNECTED_AT, 1, m_name.c_str()).Report();
            else
                CCVNException(MSG_CONNECTED, 0).Report();
            m_board.SessionEvent(m_ups, CUpsBoard::CItem::Kind::Made);
            m_liveness.Heard(Now());
        } else if (!m_board.Stop().Raised()) {
            if (m_request.named)
                CCVNException(MSG_CONNECT_FAILED_AT, 1, m_name.c_str()).Report();
            else
                CCVNException(MSG_CONNECT_FAILED, 1, m_address.c_str()).Report();
            m_board.SessionEvent(m_ups, CUpsBoard::CItem::Kind::Failed);
            Pause();
        }
    }

    // Waits for the server's lines, asking a silent one whether it is still
    // there.
    void Serve()
    {
        CLiveness::Due due = m_liveness.Check(Now());
        if (due == CLiveness::Due::Query) {
            CDebug::Trace(CDebug::TraceDetail, "%sSEND:GetValue(Output Source)\n", m_request.traceTag.c_str());
            const int length = static_cast<int>(sizeof kLivenessQuery - 1);
            if (NetSend(m_socket, kLivenessQuery, length) != length)
                due = CLiveness::Due::Lost;
        }
        if (due == CLiveness::Due::Lost) {
            Lose(true);
            return;
        }
        const unsigned long wait = std::max<unsigned long>(m_liveness.TimeLeft(Now()), 1);
        m_resume.Begin();
        const NetWait result = NetWaitSession(m_socket, wait, &m_board.Stop());
        m_resume.End(wait);
        if (m_resume.Suspended()) {
            // After a suspension the session is made anew, as the single
            // one is; the UPS keeps its values until the new one tells.
            m_resume.Reset();
            NetClose(m_socket);
            m_socket = -1;
            return;
        }
        if (result == NetWait::Failed || result == NetWait::Exception) {
            Lose(false);
        } else if (result == NetWait::Readable) {
            char buffer[kReceiveSize];
            const int received = NetReceive(m_socket, buffer, kReceiveSize);
            if (received <= 0) {
                Lose(true);
                return;
            }
            m_liveness.Heard(Now());
            const std::size_t length = static_cast<std::size_t>(received);
            std::uint32_t untraced = 0;
            if (m_recvTrace.Allow(Now(), &untraced)) {
                if (untraced)
                    CDebug::Trace(CDebug::TraceDetail, "%sRECV: %u reads not traced\n", m_request.traceTag.c_str(),
                                  static_cast<unsigned>(untraced));
                const std::string text = PrintableText(buffer, length);
                CDebug::Trace(CDebug::TraceDetail, "%sRECV:%s\n", m_request.traceTag.c_str(), text.c_str());
            }
            const std::string whole =
                ApplyRead(m_lines, buffer, length, m_power.onBattery, m_power.batteryLow, m_request.traceTag);
            TakeHeardValues(whole.data(), whole.size(), m_facts);
            m_board.Heard(m_ups, m_power, m_facts);
        }
    }

    // The UPS keeps the values last heard (what "Lost On Battery" makes of
    // them is the episode's rule).
    void Lose(bool pauseFirst)
    {
        NetClose(m_socket);
        m_socket = -1;
        if (m_board.Stop().Raised())
            return;
        if (m_request.named)
            CCVNException(MSG_CONNECTION_LOST_AT, 1, m_name.c_str()).Report();
        else
            CCVNException(MSG_CONNECTION_LOST, 0).Report();
        m_board.SessionEvent(m_ups, CUpsBoard::CItem::Kind::Lost);
        if (pauseFirst)
            Pause();
    }

    void Pause()
    {
        const bool soon = m_power.onBattery || m_board.ComputerOnBattery();
        unsigned long ms = soon ? kPauseOnBatteryMs : kPauseOnMainsMs;
        const std::int64_t left = m_board.ShutdownIn(Now());
        if (left >= 0)
            ms = std::min(ms, std::max(static_cast<unsigned long>(left), kShortestWaitMs));
        m_board.Stop().Sleep(ms);
    }

    CUpsBoard& m_board;
    const std::size_t m_ups;
    CSessionRequest m_request;
    CPowerFlags m_power;
    CCommandFacts m_facts;
    std::string m_name;
    std::string m_address;
    bool m_bEnded = false;
    CLiveness m_liveness;
    CLineJoiner m_lines;
    CTraceBudget m_recvTrace;
    CResumeWatch m_resume;
    int m_socket = -1;
};

void RunSessionThread(void* argument)
{
    std::unique_ptr<CSessionThread> own(static_cast<CSessionThread*>(argument));
    {
        CUpsSession session(*own);
        session.Run();
    }
    own->board->Ended();
}

}  // namespace

CUpsBoard::CUpsBoard(std::size_t count) : m_ups(count), m_running(count)
{
    if (count == 0)
        m_allEnded.Set();
}

void CUpsBoard::Publish(std::size_t ups, const CCommandFacts& facts, const std::string& name)
{
    std::lock_guard<CLock> hold(m_lock);
    m_ups[ups].facts = facts;
    m_ups[ups].name = name;
    m_changed.Set();
}

void CUpsBoard::Heard(std::size_t ups, const CPowerFlags& power, const CCommandFacts& facts)
{
    std::lock_guard<CLock> hold(m_lock);
    CUps& entry = m_ups[ups];
    // A read that changes nothing wakes nobody: a server repeating its
    // lines as fast as it can must cost the monitor nothing. The first read
    // of each session always counts (a lost session may have made the UPS
    // low in the episode's eyes).
    if (entry.heard && entry.power.onBattery == power.onBattery && entry.power.batteryLow == power.batteryLow &&
        entry.facts == facts)
        return;
    entry.heard = true;
    entry.power = power;
    entry.facts = facts;
    m_items.push_back({CItem::Kind::Power, ups, power, facts});
    m_changed.Set();
}

void CUpsBoard::SessionEvent(std::size_t ups, CItem::Kind kind)
{
    std::lock_guard<CLock> hold(m_lock);
    m_ups[ups].heard = false;
    m_items.push_back({kind, ups, CPowerFlags(), m_ups[ups].facts});
    m_changed.Set();
}

void CUpsBoard::Fail(std::uint32_t failure)
{
    std::lock_guard<CLock> hold(m_lock);
    m_dwFailure = failure;
    m_changed.Set();
}

void CUpsBoard::Ended()
{
    std::lock_guard<CLock> hold(m_lock);
    if (m_running > 0 && --m_running == 0)
        m_allEnded.Set();
}

CUpsBoard::CNews CUpsBoard::Look()
{
    std::lock_guard<CLock> hold(m_lock);
    m_changed.Reset();
    CNews news;
    news.ups = m_ups;
    news.items.swap(m_items);
    news.failure = m_dwFailure;
    return news;
}

void CUpsBoard::SetComputerOnBattery(bool onBattery)
{
    std::lock_guard<CLock> hold(m_lock);
    m_bComputerOnBattery = onBattery;
}

bool CUpsBoard::ComputerOnBattery() const
{
    std::lock_guard<CLock> hold(m_lock);
    return m_bComputerOnBattery;
}

void CUpsBoard::SetShutdownIn(std::uint32_t now, std::int64_t ms)
{
    std::lock_guard<CLock> hold(m_lock);
    m_bShutdownAhead = ms > 0;
    m_dwShutdownAt = now + static_cast<std::uint32_t>(ms > 0 ? ms : 0);
}

std::int64_t CUpsBoard::ShutdownIn(std::uint32_t now) const
{
    std::lock_guard<CLock> hold(m_lock);
    const std::int32_t left = static_cast<std::int32_t>(m_dwShutdownAt - now);
    return m_bShutdownAhead && left > 0 ? left : -1;
}

bool CUpsBoard::StopAll(unsigned long ms)
{
    m_stop.Raise();
    return m_allEnded.Wait(ms);
}

bool StartUpsSession(const std::shared_ptr<CUpsBoard>& board, std::size_t ups, const std::string& iniFile,
                     const std::string& section, bool named,
                     const std::shared_ptr<const CSettingsSnapshot>& settings)
{
    auto* own = new CSessionThread;
    own->settings = settings;
    own->board = board;
    own->ups = ups;
    own->iniFile = iniFile;
    own->section = section;
    own->named = named;
    if (StartDetachedThread(RunSessionThread, own))
        return true;
    delete own;
    return false;
}

}  // namespace cvn
