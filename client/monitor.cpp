// The monitor: the client's main loop, for one server or several. Each UPS
// has its session on a thread of its own (ups_session.h); this loop reads
// the settings, hands the sessions' news and the effects' outcomes to the
// episode (policy/episode.h), carries out what the episode answers, and
// waits for the stop, the next news or the episode's next wake-up.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app.h"
#include "commands.h"
#include "effects.h"
#include "exception.h"
#include "ini_file.h"
#include "notify.h"
#include "policy/episode.h"
#include "policy_settings.h"
#include "qmx/debug.h"
#include "qmx/time.h"
#include "resume.h"
#include "servers.h"
#include "settings_snapshot.h"
#include "ups_session.h"

using qmx::CDebug;
using Kind = cvn::CEpisodeOutput::Kind;

namespace {

const unsigned long kWaitOnBatteryMs = 1000;
const unsigned long kWaitOnMainsMs = 10000;
// How long the sessions are given to end once the monitor ends: every wait
// of theirs ends on the stop.
const unsigned long kSessionsEndMs = 1000;

std::uint32_t Now()
{
    return static_cast<std::uint32_t>(qmx::GetMillSecCount());
}

// The same report naming the server.
std::uint32_t NamedReport(std::uint32_t id)
{
    switch (id) {
    case MSG_ON_BATTERY:
        return MSG_ON_BATTERY_AT;
    case MSG_LOW_BATTERY:
        return MSG_LOW_BATTERY_AT;
    case MSG_SHUTTING_DOWN:
        return MSG_SHUTTING_DOWN_AT;
    default:
        return MSG_POWER_RESTORED_AT;
    }
}

// By how much a step overran the longest it may take: a suspension while
// it ran, when that is more than a busy machine adds.
std::uint32_t SuspendedDuring(std::uint32_t start, unsigned long longestMs)
{
    const std::uint32_t away = cvn::Overrun(start, cvn::SuspendClock(), longestMs);
    return away > cvn::kSuspendedAfterMs ? away : 0;
}

}  // namespace

void CCVNRemoteApp::Monitor()
{
    if (!m_strInitError.empty()) {
        CCVNException(MSG_INIT_FAILED, 1, m_strInitError.c_str()).Report();
        m_dwFailure = MSG_INIT_FAILED;
        m_bStop = true;
    }
    // Read once a pass, whole: a file saved meanwhile never gives defaults,
    // and an emptied address keeps the last one (only at start does a
    // missing address end the monitor).
    m_pSettings = std::make_shared<cvn::CSettingsSnapshot>(m_strIniFile);
    m_pSettings->Refresh(Now());
    CINIFile& ini = m_pSettings->Ini();
    CCVNException(MSG_CONNECTING, 0).Report();
    if (!WaitWhileRunning())
        return;

    // The list of servers is read once, at start.
    const std::vector<std::string> sections = cvn::ServerSections(ini);
    const int count = static_cast<int>(sections.size());
    const bool named = count > 1;
    if (named) {
        bool capped = false;
        const int wanted = ini.GetInt("Settings", "Minimum Supplies", 1);
        cvn::MinimumSupplies(ini, count, &capped);
        if (capped) {
            const std::string asked = std::to_string(wanted);
            const std::string servers = std::to_string(count);
            CCVNException(MSG_TOO_FEW_SERVERS, 2, asked.c_str(), servers.c_str()).Report();
        }
    }
    if (ini.GetString("Settings", "Server Address", "").empty()) {
        CCVNException(MSG_NO_SERVER_ADDRESS, 0).Report();
        m_dwFailure = MSG_NO_SERVER_ADDRESS;
        return;
    }

    auto board = std::make_shared<cvn::CUpsBoard>(sections.size());
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (!cvn::StartUpsSession(board, i, m_strIniFile, sections[i], named, m_pSettings)) {
            // Without its session a UPS would count as not heard from for good.
            board->Ended();
            CCVNException(MSG_INIT_FAILED, 1, ("no thread for the session of [" + sections[i] + "]").c_str())
                .Report();
            m_dwFailure = MSG_INIT_FAILED;
            m_bStop = true;
        }
    }

    cvn::CEpisode episode(sections.size());
    cvn::CResumeWatch resume;
    cvn::CEffects effects([board] { board->Wake(); });
    std::vector<cvn::CUpsBoard::CUps> ups(sections.size());

    auto factsOf = [&](int at) -> const cvn::CCommandFacts& {
        return ups[static_cast<std::size_t>(at >= 0 && at < count ? at : 0)].facts;
    };
    auto nameOf = [&](int at) { return ups[static_cast<std::size_t>(at >= 0 && at < count ? at : 0)].name; };

    // What the episode asks for: reports and event commands at once, the
    // notices and the shutdown steps as effects beside this loop.
    auto carry = [&](const cvn::CEpisodeOutput& out) {
        switch (out.kind) {
        case Kind::Record: {
            const std::string insert = std::to_string(out.seconds);
            if (named) {
                const std::string name = nameOf(out.ups);
                if (out.seconds >= 0)
                    CCVNException(NamedReport(out.notice.messageId), 2, insert.c_str(), name.c_str()).Report();
                else
                    CCVNException(NamedReport(out.notice.messageId), 1, name.c_str()).Report();
            } else if (out.seconds >= 0) {
                CCVNException(out.notice.messageId, 1, insert.c_str()).Report();
            } else {
                CCVNException(out.notice.messageId, 0).Report();
            }
            break;
        }
        case Kind::EventCommand: {
            std::string text;
            if (out.event == cvn::CommandEvent::SessionMade)
                text = cvn::SystemErrorText(MSG_CONNECTED);
            else if (out.event == cvn::CommandEvent::SessionLost)
                text = cvn::SystemErrorText(MSG_CONNECTION_LOST);
            else
                text = cvn::FormatNotice(out.notice.format, out.seconds);
            m_Commands.SetFacts(factsOf(out.ups));
            m_Commands.Fire(m_strIniFile, out.event, text, out.secondsLeft);
            break;
        }
        case Kind::Notice: {
            const char* format = out.notice.format;
            const int seconds = out.seconds;
            effects.Notice(out.id, out.notice.messageId == MSG_SHUTTING_DOWN,
                           [this, format, seconds] { NotifyUsers(format, seconds); });
            break;
        }
        case Kind::BeforeShutdown: {
            const cvn::CCommandFacts facts = factsOf(-1);
            const std::uint32_t id = out.id;
            // The settings the episode went by when it asked for the step.
            const std::string text = m_pSettings->Text();
            effects.Step([this, facts, id, text](cvn::CEffectOutcome& outcome) {
                CINIFile settings = CINIFile::FromText(text);
                cvn::CCommands commands;
                commands.SetFacts(facts);
                const int timeoutS = cvn::CommandTimeout(
                    settings.GetInt("Commands", "Before Shutdown Timeout", cvn::CCommands::kDefaultTimeoutS));
                const std::uint32_t start = cvn::SuspendClock();
                if (!commands.RunBeforeShutdown(settings, m_StopRequest))
                    return false;
                outcome.kind = Kind::BeforeShutdown;
                outcome.id = id;
                outcome.suspendedMs = SuspendedDuring(
                    start, static_cast<unsigned long>(timeoutS) * 1000u + cvn::CCommands::kStartWaitMs);
                return true;
            });
            break;
        }
        case Kind::Action: {
            const cvn::CCommandFacts facts = factsOf(-1);
            const std::uint32_t id = out.id;
            const std::string action = out.text;
            const std::string text = m_pSettings->Text();
            effects.Step([this, facts, id, action, text](cvn::CEffectOutcome& outcome) {
                CINIFile settings = CINIFile::FromText(text);
                cvn::CCommands commands;
                commands.SetFacts(facts);
                CDebug::Trace(CDebug::TraceDetail, "Shutdown action [%s]\n", action.c_str());
                std::string failure;
                bool done = false;
                unsigned long longest = 0;
                const std::uint32_t start = cvn::SuspendClock();
                if (action == "hibernate") {
                    longest = cvn::CCommands::kHibernateWaitMs;
                    done = commands.Hibernate(m_StopRequest, failure);
                } else if (action == "command") {
                    longest = cvn::CCommands::kStartWaitMs + cvn::CCommands::kShutdownCommandWaitMs;
                    done = commands.RunShutdownCommand(settings, m_StopRequest, failure);
                } else {
                    failure = "not one of shutdown, hibernate, command";
                }
                outcome.kind = Kind::Action;
                outcome.id = id;
                // An action that returns once the computer has woken (or
                // is still in its call when it wakes) shows the suspension
                // on the clock: a fresh start, whatever it said.
                outcome.suspendedMs = SuspendedDuring(start, longest);
                if (outcome.suspendedMs) {
                    outcome.action = cvn::ActionOutcome::Suspended;
                    return true;
                }
                if (!done && m_StopRequest.Raised())
                    return false;
                outcome.action = done ? cvn::ActionOutcome::Done : cvn::ActionOutcome::Failed;
                outcome.detail = failure;
                return true;
            });
            break;
        }
        case Kind::Request: {
            const std::uint32_t id = out.id;
            effects.Step([this, id](cvn::CEffectOutcome& outcome) {
                ShutdownSystem();
                outcome.kind = Kind::Request;
                outcome.id = id;
                outcome.taken = m_bStop;
                return true;
            });
            break;
        }
        case Kind::DryRun:
            CCVNException(MSG_DRY_RUN, 0).Report();
            break;
        case Kind::Resumed:
            CCVNException(MSG_RESUMED, 1, std::to_string(out.seconds).c_str()).Report();
            break;
        case Kind::ActionFailed:
            CCVNException(MSG_ACTION_FAILED, 2, out.text.c_str(), out.detail.c_str()).Report();
            break;
        case Kind::ActionNoEffect:
            CCVNException(MSG_ACTION_NO_EFFECT, 2, out.text.c_str(), std::to_string(out.seconds).c_str()).Report();
            break;
        case Kind::Unheard:
            CCVNException(MSG_UPS_UNHEARD, 1, nameOf(out.ups).c_str()).Report();
            break;
        }
    };

    while (WaitWhileRunning()) {
        m_pSettings->Refresh(Now());
        m_Commands.Poll();
        std::uint32_t now = Now();
        // After a suspension the deadline is stale: the fresh start comes
        // before anything can act on it.
        if (resume.Suspended()) {
            episode.Suspended(now, resume.Suspended());
            resume.Reset();
        }
        cvn::CUpsBoard::CNews news = board->Look();
        // The names at once; the facts item by item, each event carried
        // out with the facts of its own time.
        for (std::size_t i = 0; i < ups.size() && i < news.ups.size(); ++i)
            ups[i].name = news.ups[i].name;
        if (news.failure) {
            m_dwFailure = news.failure;
            break;
        }
        // The one reading of the settings in this pass.
        episode.Settings(now, cvn::ReadEpisodeSettings(ini, count));
        for (const cvn::CUpsBoard::CItem& item : news.items) {
            if (item.ups < ups.size())
                ups[item.ups].facts = item.facts;
            switch (item.kind) {
            case cvn::CUpsBoard::CItem::Kind::Power:
                episode.Power(now, item.ups, item.power.onBattery, item.power.batteryLow);
                break;
            case cvn::CUpsBoard::CItem::Kind::Made:
                episode.SessionMade(now, item.ups);
                break;
            case cvn::CUpsBoard::CItem::Kind::Lost:
                episode.SessionLost(now, item.ups);
                break;
            case cvn::CUpsBoard::CItem::Kind::Failed:
                episode.AttemptFailed(now, item.ups);
                break;
            }
            for (const cvn::CEpisodeOutput& out : episode.TakeOutputs())
                carry(out);
        }
        ups = news.ups;
        for (const cvn::CEffectOutcome& outcome : effects.Take()) {
            now = Now();
            if (outcome.suspendedMs)
                episode.Suspended(now, outcome.suspendedMs);
            switch (outcome.kind) {
            case Kind::Notice:
                episode.NoticeHandedOver(now, outcome.id);
                break;
            case Kind::BeforeShutdown:
                episode.BeforeShutdownEnded(now, outcome.id);
                break;
            case Kind::Action:
                episode.ActionResult(now, outcome.id, outcome.action, outcome.detail, outcome.suspendedMs);
                break;
            default:
                episode.RequestResult(now, outcome.id, outcome.taken);
                break;
            }
        }
        for (const cvn::CEpisodeOutput& out : episode.TakeOutputs())
            carry(out);
        const bool onBattery = episode.Computer().onBattery;
        board->SetComputerOnBattery(onBattery);
        board->SetShutdownIn(Now(), episode.TimeLeft(Now()));
        if (!WaitWhileRunning())
            break;

        unsigned long wait = onBattery ? kWaitOnBatteryMs : kWaitOnMainsMs;
        const std::int64_t wake = episode.WakeIn(Now());
        if (wake >= 0)
            wait = std::min(wait, static_cast<unsigned long>(std::max<std::int64_t>(wake, 1)));
        // A settings change in view is taken on time.
        wait = std::min<unsigned long>(wait, std::max<std::uint32_t>(m_pSettings->NextLookMs(Now()), 1));
        resume.Begin();
        cvn::CEvent::WaitEither(m_StopRequest.Event(), board->Changed(), wait);
        resume.End(wait);
    }
    board->StopAll(kSessionsEndMs);
}
