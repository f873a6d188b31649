#include "countdown.h"

#include "exception.h"

namespace cvn {

const char* const kOnBatteryMessage = "UPS on battery, system will shutdown in %d seconds.";
const char* const kLowBatteryMessage = "UPS battery low, system will shutdown in %d seconds.";
const char* const kShutdownNowMessage = "UPS on battery, shuting down now.";
const char* const kPowerRestoredMessage = "UPS power restored, aborting shutdown.";
const CNotice kOnBatteryNotice = {kOnBatteryMessage, MSG_ON_BATTERY};
const CNotice kLowBatteryNotice = {kLowBatteryMessage, MSG_LOW_BATTERY};
const CNotice kShutdownNowNotice = {kShutdownNowMessage, MSG_SHUTTING_DOWN};
const CNotice kPowerRestoredNotice = {kPowerRestoredMessage, MSG_POWER_RESTORED};

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

void CCountdown::Step(ICountdownHost& host, bool onBattery, bool batteryLow, int onDelay, int lowDelay)
{
    if (!onBattery) {
        if (m_dwDeadline != kMains) {
            host.Notify(kPowerRestoredNotice, -1);
            m_dwDeadline = kMains;
            m_bRetryWait = false;
        }
        return;
    }

    if (m_dwDeadline == kMains) {
        // A new episode. The message goes first, so that the countdown
        // starts when it has been handed over.
        m_bLowBatteryWarned = false;
        m_dwDeadline = kNoShutdownTime;
        if (onDelay >= 0)
            host.Notify(kOnBatteryNotice, onDelay);
    }
    if (onDelay >= 0)
        Shorten(host.Now(), onDelay);

    if (batteryLow && lowDelay >= 0) {
        if (!m_bLowBatteryWarned)
            host.Notify(kLowBatteryNotice, lowDelay);
        m_bLowBatteryWarned = true;
        Shorten(host.Now(), lowDelay);
    }

    if (m_dwDeadline != kNoShutdownTime && TickIsLater(host.Now(), m_dwDeadline) &&
        (!m_bRetryWait || !TickIsLater(m_dwRetryAt, host.Now()))) {
        host.Notify(kShutdownNowNotice, -1);
        m_bRetryWait = !host.Shutdown();
        m_dwRetryAt = host.Now() + kShutdownRetryMs;
    }
}

std::int64_t CCountdown::TimeLeft(std::uint32_t now) const
{
    if (m_dwDeadline == kMains || m_dwDeadline == kNoShutdownTime)
        return -1;
    std::int32_t left = static_cast<std::int32_t>((m_bRetryWait ? m_dwRetryAt : m_dwDeadline) - now);
    return left > 0 ? left : 0;
}

}  // namespace cvn
