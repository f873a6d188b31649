// The monitor: the client's main loop. Each pass keeps the session with the
// UPS server, takes in what the server sent, and advances the countdown.
// Several servers are followed by the monitor of supplies_monitor.cpp.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app.h"
#include "countdown.h"
#include "exception.h"
#include "ini_file.h"
#include "line_joiner.h"
#include "trace_budget.h"
#include "line_rules.h"
#include "liveness.h"
#include "qmx/debug.h"
#include "qmx/time.h"
#include "net.h"
#include "policy_settings.h"
#include "notify.h"
#include "monitor_host.h"
#include "resume.h"
#include "servers.h"
#include "settings_snapshot.h"

using qmx::CDebug;

namespace {

const unsigned long kWaitOnBatteryMs = 1000;
const unsigned long kWaitOnMainsMs = 10000;
const unsigned long kPauseOnBatteryMs = 1000;
const unsigned long kPauseOnMainsMs = 20000;
// While a deadline runs, no wait goes past it; this little is always waited.
const unsigned long kShortestWaitMs = 5;
const int kReceiveSize = 1000;
// The longest a connection attempt without a deadline may take: its look-up,
// connect and three replies, 10 s each, and some.
const unsigned long kLongestAttemptMs = 60000;
// The question that shows whether a silent server is still there: its
// answer goes through the line rules like any other line.
const char kLivenessQuery[] = "GetValue(Output Source)\r\n";

std::uint32_t Now()
{
    return static_cast<std::uint32_t>(qmx::GetMillSecCount());
}

void Report(std::uint32_t id)
{
    CCVNException(id, 0).Report();
}

// Seconds to the shutdown for the commands, -1 when none is set.
long long SecondsLeft(const cvn::CCountdown& countdown, std::uint32_t now)
{
    const std::int64_t left = countdown.TimeLeft(now);
    return left < 0 ? -1 : (left + 999) / 1000;
}

}  // namespace

void CCVNRemoteApp::Monitor()
{
    if (!m_strInitError.empty()) {
        CCVNException(MSG_INIT_FAILED, 1, m_strInitError.c_str()).Report();
        m_dwFailure = MSG_INIT_FAILED;
        m_bStop = true;
    }

    int session = -1;
    std::string serverAddress;
    // Read once a pass, whole: a file saved meanwhile never gives defaults,
    // and an emptied address keeps the last one (only at start does a
    // missing address end the monitor).
    m_pSettings = std::make_shared<cvn::CSettingsSnapshot>(m_strIniFile);
    m_pSettings->Refresh(Now());
    CINIFile& ini = m_pSettings->Ini();
    Report(MSG_CONNECTING);
    // A computer with redundant supplies follows each of its UPSes in a
    // session of its own; with one server the loop below is the session.
    if (!m_bStop) {
        const std::vector<std::string> sections = cvn::ServerSections(ini);
        if (sections.size() > 1) {
            MonitorSupplies(sections);
            return;
        }
    }

    bool onBattery = false;
    bool batteryLow = false;
    cvn::CCountdown countdown;
    cvn::CLiveness liveness;
    cvn::CLineJoiner lines;
    cvn::CTraceBudget recvTrace;
    cvn::CResumeWatch resume;
    cvn::CMonitorHost host(*this, resume);
    // The facts an event command is told, as they stand now.
    auto fire = [&](cvn::CommandEvent event, std::uint32_t id) {
        m_Commands.Fire(m_strIniFile, event, cvn::SystemErrorText(id), SecondsLeft(countdown, Now()));
    };

    // Cuts a wait to the time left before the shutdown deadline.
    auto bounded = [&](unsigned long ms) {
        std::int64_t left = countdown.TimeLeft(Now());
        if (left < 0)
            return ms;
        return std::min(ms, std::max(static_cast<unsigned long>(left), kShortestWaitMs));
    };
    // After a failed attempt or a lost session: the next pass connects again.
    auto pause = [&]() {
        const unsigned long ms = bounded(onBattery ? kPauseOnBatteryMs : kPauseOnMainsMs);
        resume.Begin();
        m_StopRequest.Sleep(ms);
        resume.End(ms);
    };
    // A session that failed: closed, reported, and tried again after the pause.
    auto lose = [&](bool pauseFirst) {
        cvn::NetClose(session);
        session = -1;
        // A stop ends the waits early; that is not a lost session.
        if (m_StopRequest.Raised())
            return;
        Report(MSG_CONNECTION_LOST);
        fire(cvn::CommandEvent::SessionLost, MSG_CONNECTION_LOST);
        // Nobody can tell us now that the battery runs low: some sites would
        // rather take that for granted. A new session reports the truth.
        if (onBattery && cvn::LostOnBatteryMeansLow(ini))
            batteryLow = true;
        if (pauseFirst)
            pause();
    };

    // After a suspension (hibernation included): the deadline and the timers
    // are stale, and the session is made anew. What was last heard of the
    // power still stands until a session says otherwise: the network gear
    // may be down in the same outage, and a UPS on battery must still bring
    // the shutdown, after a new full countdown.
    auto freshStart = [&](std::uint32_t suspended) {
        if (suspended) {
            std::string seconds = std::to_string(suspended / 1000);
            CCVNException(MSG_RESUMED, 1, seconds.c_str()).Report();
        }
        if (session != -1)
            cvn::NetClose(session);
        session = -1;
        countdown = cvn::CCountdown();
        m_Commands.NewEpisode();
        resume.Reset();
    };

    auto step = [&]() {
        const int onDelay = onBattery ? ini.GetInt("Settings", "On Battery Shutdown", 120) : 0;
        const int lowDelay = onBattery && batteryLow ? ini.GetInt("Settings", "Low Battery Shutdown", 30) : 0;
        const int noticeDelay = onBattery ? cvn::NoticeDelay(ini) : 0;
        countdown.Step(host, onBattery, batteryLow, onDelay, lowDelay, noticeDelay);
    };

    while (WaitWhileRunning()) {
        m_pSettings->Refresh(Now());
        m_Commands.Poll();
        if (session == -1) {
            serverAddress = ini.GetString("Settings", "Server Address", "");
            if (serverAddress.empty()) {
                Report(MSG_NO_SERVER_ADDRESS);
                m_dwFailure = MSG_NO_SERVER_ADDRESS;
                return;
            }
            m_Commands.SetServer(serverAddress, ini.GetInt("Settings", "Server Port", 8888) & 0xFFFF);
            std::int64_t left = countdown.TimeLeft(Now());
            resume.Begin();
            session = left < 0 ? ConnectToServer()
                               : ConnectToServer(std::max(static_cast<unsigned long>(left), kShortestWaitMs));
            resume.End(left < 0 ? kLongestAttemptMs : std::max(static_cast<unsigned long>(left), kShortestWaitMs));
            if (session != -1) {
                lines.Clear();
                Report(MSG_CONNECTED);
                fire(cvn::CommandEvent::SessionMade, MSG_CONNECTED);
                liveness.Heard(Now());
            } else if (!m_StopRequest.Raised()) {
                CCVNException(MSG_CONNECT_FAILED, 1, serverAddress.c_str()).Report();
                pause();
            }
        }

        if (session != -1) {
            cvn::CLiveness::Due due = liveness.Check(Now());
            if (due == cvn::CLiveness::Due::Query) {
                CDebug::Trace(CDebug::TraceDetail, "SEND:GetValue(Output Source)\n");
                const int length = static_cast<int>(sizeof kLivenessQuery - 1);
                if (cvn::NetSend(session, kLivenessQuery, length) != length)
                    due = cvn::CLiveness::Due::Lost;
            }
            if (due == cvn::CLiveness::Due::Lost)
                lose(true);
        }

        if (session != -1) {
            unsigned long wait = std::min<unsigned long>(onBattery ? kWaitOnBatteryMs : kWaitOnMainsMs,
                                                         std::max<unsigned long>(liveness.TimeLeft(Now()), 1));
            wait = bounded(wait);
            // A settings change in view is taken on time.
            wait = std::min<unsigned long>(wait, std::max<std::uint32_t>(m_pSettings->NextLookMs(Now()), 1));
            resume.Begin();
            cvn::NetWait result = cvn::NetWaitSession(session, wait, &m_StopRequest);
            resume.End(wait);
            if (result == cvn::NetWait::Failed || result == cvn::NetWait::Exception) {
                lose(false);
            } else if (result == cvn::NetWait::Readable) {
                char buffer[kReceiveSize];
                int received = cvn::NetReceive(session, buffer, kReceiveSize);
                if (received > 0) {
                    liveness.Heard(Now());
                    std::uint32_t untraced = 0;
                    if (recvTrace.Allow(Now(), &untraced)) {
                        if (untraced)
                            CDebug::Trace(CDebug::TraceDetail, "RECV: %u reads not traced\n",
                                          static_cast<unsigned>(untraced));
                        const std::string text = cvn::PrintableText(buffer, static_cast<size_t>(received));
                        CDebug::Trace(CDebug::TraceDetail, "RECV:%s\n", text.c_str());
                    }
                    const std::string whole = cvn::ApplyRead(lines, buffer, static_cast<size_t>(received),
                                                             onBattery, batteryLow, std::string());
                    m_Commands.Heard(whole.data(), whole.size());
                } else {
                    // The server closed the session (or the read failed): a
                    // restarted server must find the client again, so this is
                    // a lost session, not the end of the monitor.
                    lose(true);
                }
            }
        }

        // A fresh start steps the new countdown at once: on battery its
        // deadline must not wait for a connection attempt that may take a
        // minute while the network is down.
        if (resume.Suspended())
            freshStart(resume.Suspended());
        step();
        const std::uint32_t hibernated = m_Commands.TakeFreshStart();
        if (hibernated || resume.Suspended()) {
            freshStart(std::max(hibernated, resume.Suspended()));
            step();
        }
    }
}
