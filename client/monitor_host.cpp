#include "monitor_host.h"

#include "exception.h"
#include "notify.h"
#include "qmx/time.h"

namespace cvn {

namespace {

// The longest a users' notice may take: its ways share 10 s.
const unsigned long kLongestNoticeMs = 10000;

// The event command's event for a notice.
CommandEvent EventOf(const CNotice& notice)
{
    if (notice.messageId == MSG_LOW_BATTERY)
        return CommandEvent::BatteryLow;
    if (notice.messageId == MSG_SHUTTING_DOWN)
        return CommandEvent::ShuttingDown;
    if (notice.messageId == MSG_POWER_RESTORED)
        return CommandEvent::PowerRestored;
    return CommandEvent::OnBattery;
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

}  // namespace

std::uint32_t CMonitorHost::Now()
{
    return static_cast<std::uint32_t>(qmx::GetMillSecCount());
}

const CMonitorHost::CCause& CMonitorHost::CauseOf(const CNotice& notice) const
{
    return notice.messageId == MSG_SHUTTING_DOWN ? m_Episode : m_Change;
}

void CMonitorHost::Record(const CNotice& notice, int seconds)
{
    // Power restored ends the episode: its once-only steps may run again.
    if (notice.messageId == MSG_POWER_RESTORED)
        m_app.m_Commands.NewEpisode();
    std::string insert = std::to_string(seconds);
    if (m_bNamed) {
        const char* name = CauseOf(notice).name.c_str();
        if (seconds >= 0)
            CCVNException(NamedReport(notice.messageId), 2, insert.c_str(), name).Report();
        else
            CCVNException(NamedReport(notice.messageId), 1, name).Report();
    } else if (seconds >= 0) {
        CCVNException(notice.messageId, 1, insert.c_str()).Report();
    } else {
        CCVNException(notice.messageId, 0).Report();
    }
}

// The event command starts beside the users' notice, and goes when it goes
// (a notice delay holds both).
void CMonitorHost::NoticeUsers(const CNotice& notice, int seconds)
{
    const CommandEvent event = EventOf(notice);
    const long long left = seconds >= 0 ? seconds : event == CommandEvent::ShuttingDown ? 0 : -1;
    if (m_bNamed)
        m_app.m_Commands.SetFacts(CauseOf(notice).facts);
    m_app.m_Commands.Fire(m_app.m_strIniFile, event, FormatNotice(notice.format, seconds), left);
    m_resume.Begin();
    m_app.NotifyUsers(notice.format, seconds);
    m_resume.End(kLongestNoticeMs);
}

bool CMonitorHost::Shutdown()
{
    // Woken in the middle of the notice: the deadline is stale, and the
    // monitor starts afresh right after this step.
    if (m_resume.Suspended())
        return false;
    return m_app.RunShutdown();
}

std::uint32_t CMonitorHost::NextRequestMs()
{
    return m_app.m_Commands.NextRequestMs(CCountdown::kShutdownRetryMs);
}

}  // namespace cvn
