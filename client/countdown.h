// The shutdown countdown: the policy of the monitor, apart from sockets and
// clocks. The monitor feeds it the two flags it derived from the server's
// lines and the two delays from the settings, once a pass.
#ifndef CVN_COUNTDOWN_H
#define CVN_COUNTDOWN_H

#include <cstdint>

#include "policy/episode.h"

namespace cvn {

// What the countdown acts through: the millisecond tick count, the record of
// each power event, the users' messages and the shutdown.
class ICountdownHost {
public:
    virtual ~ICountdownHost() {}
    virtual std::uint32_t Now() = 0;
    // Puts the event on record (Event Log, standard error or syslog); made
    // at once, whether or not the users are told. seconds < 0: no insert.
    virtual void Record(const CNotice& notice, int seconds) = 0;
    // Tells the users; may take seconds to hand over. seconds < 0: the text
    // is sent as it stands.
    virtual void NoticeUsers(const CNotice& notice, int seconds) = 0;
    // False when the system refused the request (the host has reported
    // why): the countdown asks again kShutdownRetryMs later while the UPS
    // stays on battery. A request taken is not made again in the episode.
    virtual bool Shutdown() = 0;
    // After a request that was not taken: how long until the next one.
    virtual std::uint32_t NextRequestMs() { return 60000; }
};

class CCountdown {
public:
    // Deadline values with a meaning of their own.
    static constexpr std::uint32_t kMains = 0;
    static constexpr std::uint32_t kNoShutdownTime = 0xFFFFFFFF;
    // The longest delay a wrap-safe difference holds, in seconds.
    static constexpr int kMaxDelaySeconds = 2147483;
    // How long after a refused shutdown request the next one is made
    // (unless the host says otherwise).
    static constexpr std::uint32_t kShutdownRetryMs = 60000;

    // One pass: onDelay is "On Battery Shutdown", lowDelay "Low Battery
    // Shutdown" (looked at only when both flags are set), noticeDelay
    // "Notice Delay": how long the UPS must stay on battery before the users
    // hear of it. The event is on record at once, and the shutdown clock
    // starts at the failure all the same; a blip shorter than the delay
    // leaves the users alone, "power restored" included. The low battery
    // and the shutdown itself are told at once.
    void Step(ICountdownHost& host, bool onBattery, bool batteryLow, int onDelay, int lowDelay,
              int noticeDelay = 0);

    // Milliseconds from tick now until the countdown has something to do
    // (the deadline, or the next request after a refused one): 0 when it is
    // due, -1 when no shutdown time is set.
    std::int64_t TimeLeft(std::uint32_t now) const;

    std::uint32_t Deadline() const { return m_dwDeadline; }
    bool LowBatteryWarned() const { return m_bLowBatteryWarned; }

private:
    // Moves the deadline to now + delay seconds unless it is already earlier.
    void Shorten(std::uint32_t now, int delaySeconds);
    // The deadline has passed.
    bool Due(std::uint32_t now) const;
    // Both on record and to the users.
    void Tell(ICountdownHost& host, const CNotice& notice, int seconds);

    std::uint32_t m_dwDeadline = kMains;
    bool m_bLowBatteryWarned = false;
    // A shutdown request was refused; the next one is due at m_dwRetryAt.
    bool m_bRetryWait = false;
    std::uint32_t m_dwRetryAt = 0;
    // The system took the request: nothing more to do until mains power
    // returns (only a dry run goes on monitoring after it).
    bool m_bShutdownTaken = false;
    // The users have heard of this episode; only then do they hear that
    // the power is back.
    bool m_bUsersWarned = false;
    // When the episode began, for the notice delay.
    std::uint32_t m_dwEpisodeStart = 0;
};

}  // namespace cvn

#endif
