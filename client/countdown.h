// The shutdown countdown: the policy of the monitor, apart from sockets and
// clocks. The monitor feeds it the two flags it derived from the server's
// lines and the two delays from the settings, once a pass.
#ifndef CVN_COUNTDOWN_H
#define CVN_COUNTDOWN_H

#include <cstdint>

namespace cvn {

// A message to the users, and the catalogue entry that puts the same text
// on record (Event Log, standard error or syslog), the seconds as its insert.
struct CNotice {
    const char* format;
    std::uint32_t messageId;
};

extern const char* const kOnBatteryMessage;
extern const char* const kLowBatteryMessage;
extern const char* const kShutdownNowMessage;
extern const char* const kPowerRestoredMessage;
extern const CNotice kOnBatteryNotice;
extern const CNotice kLowBatteryNotice;
extern const CNotice kShutdownNowNotice;
extern const CNotice kPowerRestoredNotice;

// What the countdown acts through: the millisecond tick count, the users'
// messages and the shutdown.
class ICountdownHost {
public:
    virtual ~ICountdownHost() {}
    virtual std::uint32_t Now() = 0;
    // seconds < 0: the text is sent as it stands.
    virtual void Notify(const CNotice& notice, int seconds) = 0;
    // False when the system refused the request (the host has reported
    // why): the countdown asks again kShutdownRetryMs later while the UPS
    // stays on battery.
    virtual bool Shutdown() = 0;
};

// Tick counts wrap every 2^32 ms; they are compared by their signed 32-bit
// difference, which holds for intervals up to 2^31 - 1 ms.
inline bool TickIsLater(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b) > 0;
}

class CCountdown {
public:
    // Deadline values with a meaning of their own.
    static constexpr std::uint32_t kMains = 0;
    static constexpr std::uint32_t kNoShutdownTime = 0xFFFFFFFF;
    // The longest delay a wrap-safe difference holds, in seconds.
    static constexpr int kMaxDelaySeconds = 2147483;
    // How long after a refused shutdown request the next one is made.
    static constexpr std::uint32_t kShutdownRetryMs = 60000;

    // One pass: onDelay is "On Battery Shutdown", lowDelay "Low Battery
    // Shutdown" (looked at only when both flags are set).
    void Step(ICountdownHost& host, bool onBattery, bool batteryLow, int onDelay, int lowDelay);

    // Milliseconds from tick now until the countdown has something to do
    // (the deadline, or the next request after a refused one): 0 when it is
    // due, -1 when no shutdown time is set.
    std::int64_t TimeLeft(std::uint32_t now) const;

    std::uint32_t Deadline() const { return m_dwDeadline; }
    bool LowBatteryWarned() const { return m_bLowBatteryWarned; }

private:
    // Moves the deadline to now + delay seconds unless it is already earlier.
    void Shorten(std::uint32_t now, int delaySeconds);

    std::uint32_t m_dwDeadline = kMains;
    bool m_bLowBatteryWarned = false;
    // A shutdown request was refused; the next one is due at m_dwRetryAt.
    bool m_bRetryWait = false;
    std::uint32_t m_dwRetryAt = 0;
};

}  // namespace cvn

#endif
