#include "countdown.h"

#include "exception.h"

namespace cvn {

void CCountdown::Shorten(std::uint32_t now, int delaySeconds)
{
    if (delaySeconds > kMaxDelaySeconds)
        delaySeconds = kMaxDelaySeconds;
    std::uint32_t candidate = now + static_cast<std::uint32_t>(delaySeconds) * 1000u;
    // A computed deadline never takes the values that mean "mains" and "no
    // shutdown time": it moves a millisecond or two later, never earlier.
    if (candidate == kMains || candidate == kNoShutdownTime)
        candidate = 1;
    // "No shutdown time" is later than any candidate.
    if (m_dwDeadline == kNoShutdownTime || !TickIsLater(candidate, m_dwDeadline))
        m_dwDeadline = candidate;
}

bool CCountdown::Due(std::uint32_t now) const
{
    return m_dwDeadline != kMains && m_dwDeadline != kNoShutdownTime && TickIsLater(now, m_dwDeadline);
}

void CCountdown::Tell(ICountdownHost& host, const CNotice& notice, int seconds)
{
    // On record first: a notice may take seconds to hand over.
    host.Record(notice, seconds);
    host.NoticeUsers(notice, seconds);
    m_bUsersWarned = true;
}

void CCountdown::Step(ICountdownHost& host, bool onBattery, bool batteryLow, int onDelay, int lowDelay,
                      int noticeDelay)
{
    if (!onBattery) {
        if (m_dwDeadline != kMains) {
            // Users who were never warned need not hear that it is over.
            host.Record(kPowerRestoredNotice, -1);
            if (m_bUsersWarned)
                host.NoticeUsers(kPowerRestoredNotice, -1);
            m_dwDeadline = kMains;
            m_bRetryWait = false;
            m_bShutdownTaken = false;
        }
        return;
    }

    if (noticeDelay > kMaxDelaySeconds)
        noticeDelay = kMaxDelaySeconds;
    if (m_dwDeadline == kMains) {
        // A new episode. Without a notice delay the message goes first, so
        // that the countdown starts when it has been handed over; with one,
        // the clock starts at the failure and the message waits.
        m_bLowBatteryWarned = false;
        m_bShutdownTaken = false;
        m_dwDeadline = kNoShutdownTime;
        m_dwEpisodeStart = host.Now();
        m_bUsersWarned = noticeDelay <= 0;
        if (onDelay >= 0) {
            host.Record(kOnBatteryNotice, onDelay);
            if (m_bUsersWarned)
                host.NoticeUsers(kOnBatteryNotice, onDelay);
        }
    }
    if (onDelay >= 0)
        Shorten(host.Now(), onDelay);

    if (batteryLow && lowDelay >= 0) {
        if (!m_bLowBatteryWarned) {
            Tell(host, kLowBatteryNotice, lowDelay);
            // Waiting for the next request (after a refused one, or for an
            // action that said it worked) is over once the battery runs low.
            if (m_bRetryWait)
                m_dwRetryAt = host.Now();
        }
        m_bLowBatteryWarned = true;
        Shorten(host.Now(), lowDelay);
    }

    // The outage has lasted the notice delay: the users hear of it now,
    // with the time that is really left, if any is (a notice delay as long
    // as the countdown leaves only the shutdown to tell).
    const bool timeLeft = m_dwDeadline == kNoShutdownTime || TickIsLater(m_dwDeadline, host.Now());
    if (!m_bUsersWarned && timeLeft &&
        host.Now() - m_dwEpisodeStart >= static_cast<std::uint32_t>(noticeDelay) * 1000u) {
        m_bUsersWarned = true;
        if (m_dwDeadline != kNoShutdownTime) {
            const std::uint32_t left = m_dwDeadline - host.Now();
            host.NoticeUsers(kOnBatteryNotice, static_cast<int>((left + 999u) / 1000u));
        }
    }

    if (Due(host.Now()) && !m_bShutdownTaken && (!m_bRetryWait || !TickIsLater(m_dwRetryAt, host.Now()))) {
        Tell(host, kShutdownNowNotice, -1);
        m_bShutdownTaken = host.Shutdown();
        m_bRetryWait = !m_bShutdownTaken;
        m_dwRetryAt = host.Now() + (m_bShutdownTaken ? 0 : host.NextRequestMs());
    }
}

std::int64_t CCountdown::TimeLeft(std::uint32_t now) const
{
    if (m_dwDeadline == kMains || m_dwDeadline == kNoShutdownTime || m_bShutdownTaken)
        return -1;
    std::int32_t left = static_cast<std::int32_t>((m_bRetryWait ? m_dwRetryAt : m_dwDeadline) - now);
    return left > 0 ? left : 0;
}

}  // namespace cvn
