// The monitor of a computer fed by several UPSes. Each UPS has its session
// on a thread of its own (ups_session.h); this loop only combines their
// flags into the computer's and runs the countdown on them, waking when a
// session has news, when the deadline comes or on the stop. Threads over
// the one session code rather than one event loop: the attempt, with its
// look-up, connect and replies, stays the same sequence of waits as the
// single server's, with one budget and one stop, instead of becoming a
// state machine of its own.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app.h"
#include "countdown.h"
#include "exception.h"
#include "ini_file.h"
#include "monitor_host.h"
#include "notify.h"
#include "policy_settings.h"
#include "qmx/time.h"
#include "resume.h"
#include "servers.h"
#include "settings_snapshot.h"
#include "supplies.h"
#include "ups_session.h"

namespace {

const unsigned long kWaitOnBatteryMs = 1000;
const unsigned long kWaitOnMainsMs = 10000;
const unsigned long kShortestWaitMs = 5;
// How long the sessions are given to end once the monitor ends: every wait
// of theirs ends on the stop.
const unsigned long kSessionsEndMs = 1000;

std::uint32_t Now()
{
    return static_cast<std::uint32_t>(qmx::GetMillSecCount());
}

}  // namespace

void CCVNRemoteApp::MonitorSupplies(const std::vector<std::string>& sections)
{
    // The monitor made the snapshot and read the servers from it.
    CINIFile& ini = m_pSettings->Ini();
    const int count = static_cast<int>(sections.size());
    bool capped = false;
    const int wanted = ini.GetInt("Settings", "Minimum Supplies", 1);
    cvn::MinimumSupplies(ini, count, &capped);
    if (capped) {
        const std::string asked = std::to_string(wanted);
        const std::string servers = std::to_string(count);
        CCVNException(MSG_TOO_FEW_SERVERS, 2, asked.c_str(), servers.c_str()).Report();
    }
    if (ini.GetString("Settings", "Server Address", "").empty()) {
        CCVNException(MSG_NO_SERVER_ADDRESS, 0).Report();
        m_dwFailure = MSG_NO_SERVER_ADDRESS;
        return;
    }

    auto board = std::make_shared<cvn::CUpsBoard>(sections.size());
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (!cvn::StartUpsSession(board, i, m_strIniFile, sections[i], m_pSettings)) {
            // Without its session a UPS would count as on mains for good.
            board->Ended();
            CCVNException(MSG_INIT_FAILED, 1, ("no thread for the session of [" + sections[i] + "]").c_str())
                .Report();
            m_dwFailure = MSG_INIT_FAILED;
            m_bStop = true;
        }
    }

    cvn::CCountdown countdown;
    cvn::CResumeWatch resume;
    cvn::CMonitorHost host(*this, resume);
    cvn::CMonitorHost::CCause change;
    cvn::CMonitorHost::CCause episode;
    bool onBattery = false;

    while (WaitWhileRunning()) {
        m_pSettings->Refresh(Now());
        m_Commands.Poll();
        const cvn::CUpsBoard::CNews news = board->Look();
        const long long secondsLeft = [&] {
            const std::int64_t left = countdown.TimeLeft(Now());
            return left < 0 ? -1LL : static_cast<long long>((left + 999) / 1000);
        }();
        for (const auto& event : news.events) {
            m_Commands.SetFacts(news.ups[event.first].facts);
            const std::uint32_t id =
                event.second == cvn::CommandEvent::SessionMade ? MSG_CONNECTED : MSG_CONNECTION_LOST;
            m_Commands.Fire(m_strIniFile, event.second, cvn::SystemErrorText(id), secondsLeft);
        }

        std::vector<cvn::CPowerFlags> power;
        for (const auto& ups : news.ups)
            power.push_back(ups.power);
        const int minimum = cvn::MinimumSupplies(ini, count);
        const cvn::CPowerFlags computer = cvn::ComputerPower(power.data(), power.size(), minimum);
        if (!news.changed.empty()) {
            const auto& ups = news.ups[news.changed.back()];
            change.name = ups.name;
            change.facts = ups.facts;
            if (computer.onBattery && !onBattery)
                episode = change;
        }
        onBattery = computer.onBattery;
        board->SetComputerOnBattery(onBattery);
        host.SetCauses(change, episode);

        const int onDelay = onBattery ? ini.GetInt("Settings", "On Battery Shutdown", 120) : 0;
        const int lowDelay =
            onBattery && computer.batteryLow ? ini.GetInt("Settings", "Low Battery Shutdown", 30) : 0;
        const int noticeDelay = onBattery ? cvn::NoticeDelay(ini) : 0;
        countdown.Step(host, onBattery, computer.batteryLow, onDelay, lowDelay, noticeDelay);

        // After a suspension the deadline is stale: a new full countdown
        // from the power last heard. Each session's own wait overran as
        // well, and it makes its session anew.
        const std::uint32_t suspended = std::max(m_Commands.TakeFreshStart(), resume.Suspended());
        if (suspended) {
            CCVNException(MSG_RESUMED, 1, std::to_string(suspended / 1000).c_str()).Report();
            countdown = cvn::CCountdown();
            m_Commands.NewEpisode();
            resume.Reset();
            countdown.Step(host, onBattery, computer.batteryLow, onDelay, lowDelay, noticeDelay);
        }
        if (!WaitWhileRunning())
            break;

        unsigned long wait = onBattery ? kWaitOnBatteryMs : kWaitOnMainsMs;
        const std::int64_t left = countdown.TimeLeft(Now());
        if (left >= 0)
            wait = std::min(wait, std::max(static_cast<unsigned long>(left), kShortestWaitMs));
        // A settings change in view is taken on time.
        wait = std::min<unsigned long>(wait, std::max<std::uint32_t>(m_pSettings->NextLookMs(Now()), 1));
        resume.Begin();
        cvn::CEvent::WaitEither(m_StopRequest.Event(), board->Changed(), wait);
        resume.End(wait);
    }
    board->StopAll(kSessionsEndMs);
}
