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
#include "policy_settings.h"
#include "resume.h"
#include "servers.h"
#include "settings_snapshot.h"

using qmx::CDebug;

namespace cvn {

namespace {

const unsigned long kPauseOnBatteryMs = 1000;
const unsigned long kPauseOnMainsMs = 20000;
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
    std::shared_ptr<const CSettingsSnapshot> settings;
};

class CUpsSession {
public:
    explicit CUpsSession(const CSessionThread& own)
        : m_board(*own.board), m_ups(own.ups), m_ini(own.iniFile.c_str())
    {
        m_request.iniFile = own.iniFile;
        m_request.section = own.section;
        m_request.named = true;
        m_request.traceTag = "[" + own.section + "] ";
        m_request.stop = &m_board.Stop();
        m_request.settings = own.settings;
        m_facts.ups = own.section;
    }

    void Run()
    {
        while (!m_board.Stop().Raised()) {
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
    void Publish()
    {
        const CServerEntry server = m_request.Server();
        m_facts.server = server.address;
        m_facts.port = server.port;
        m_name = ServerName(server);
        m_board.Update(m_ups, m_power, m_facts, m_name);
    }

    void Connect()
    {
        Publish();
        m_socket = OpenUpsSession(m_request);
        if (m_socket != -1) {
            m_lines.Clear();
            CCVNException(MSG_CONNECTED_AT, 1, m_name.c_str()).Report();
            m_board.SessionEvent(m_ups, CommandEvent::SessionMade);
            m_liveness.Heard(Now());
        } else if (!m_board.Stop().Raised()) {
            CCVNException(MSG_CONNECT_FAILED_AT, 1, m_name.c_str()).Report();
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
            m_board.Update(m_ups, m_power, m_facts, m_name);
        }
    }

    // The UPS keeps the values last heard: a session lost on battery counts
    // as a low battery only where the settings say so.
    void Lose(bool pauseFirst)
    {
        NetClose(m_socket);
        m_socket = -1;
        if (m_board.Stop().Raised())
            return;
        CCVNException(MSG_CONNECTION_LOST_AT, 1, m_name.c_str()).Report();
        m_board.SessionEvent(m_ups, CommandEvent::SessionLost);
        CINIFile snapshot = CINIFile::FromText(m_request.settings ? m_request.settings->Text() : "");
        if (m_power.onBattery && LostOnBatteryMeansLow(m_request.settings ? snapshot : m_ini)) {
            m_power.batteryLow = true;
            m_board.Update(m_ups, m_power, m_facts, m_name);
        }
        if (pauseFirst)
            Pause();
    }

    void Pause()
    {
        const bool soon = m_power.onBattery || m_board.ComputerOnBattery();
        m_board.Stop().Sleep(soon ? kPauseOnBatteryMs : kPauseOnMainsMs);
    }

    CUpsBoard& m_board;
    const std::size_t m_ups;
    CINIFile m_ini;
    CSessionRequest m_request;
    CPowerFlags m_power;
    CCommandFacts m_facts;
    std::string m_name;
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

void CUpsBoard::Update(std::size_t ups, const CPowerFlags& power, const CCommandFacts& facts, const std::string& name)
{
    std::lock_guard<CLock> hold(m_lock);
    CUps& entry = m_ups[ups];
    // A read that changes nothing wakes nobody: a server repeating its
    // lines as fast as it can must cost the monitor nothing.
    if (entry.power.onBattery == power.onBattery && entry.power.batteryLow == power.batteryLow &&
        entry.facts.outputSource == facts.outputSource && entry.facts.batteryStatus == facts.batteryStatus &&
        entry.facts.server == facts.server && entry.facts.port == facts.port && entry.facts.ups == facts.ups &&
        entry.name == name)
        return;
    if (entry.power.onBattery != power.onBattery || entry.power.batteryLow != power.batteryLow)
        m_changedUps.push_back(ups);
    entry.power = power;
    entry.facts = facts;
    entry.name = name;
    m_changed.Set();
}

void CUpsBoard::SessionEvent(std::size_t ups, CommandEvent event)
{
    std::lock_guard<CLock> hold(m_lock);
    m_events.emplace_back(ups, event);
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
    news.changed.swap(m_changedUps);
    news.events.swap(m_events);
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

bool CUpsBoard::StopAll(unsigned long ms)
{
    m_stop.Raise();
    return m_allEnded.Wait(ms);
}

bool StartUpsSession(const std::shared_ptr<CUpsBoard>& board, std::size_t ups, const std::string& iniFile,
                     const std::string& section, const std::shared_ptr<const CSettingsSnapshot>& settings)
{
    auto* own = new CSessionThread;
    own->settings = settings;
    own->board = board;
    own->ups = ups;
    own->iniFile = iniFile;
    own->section = section;
    if (StartDetachedThread(RunSessionThread, own))
        return true;
    delete own;
    return false;
}

}  // namespace cvn
