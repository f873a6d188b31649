// The shutdown countdown: the policy of the monitor, apart from sockets and
// clocks. The monitor feeds it the two flags it derived from the server's
// lines and the two delays from the settings, once a pass.
#ifndef CVN_COUNTDOWN_H
#define CVN_COUNTDOWN_H

#include <cstdint>

namespace cvn {

// What the countdown acts through: the millisecond tick count, the users'
// messages and the shutdown.
class ICountdownHost {
public:
    virtual ~ICountdownHost() {}
    virtual std::uint32_t Now() = 0;
    // seconds < 0: the text is sent as it stands.
    virtual void Notify(const char* format, int seconds) = 0;
    virtual void Shutdown() = 0;
};

extern const char* const kOnBatteryMessage;
extern const char* const kLowBatteryMessage;
extern const char* const kShutdownNowMessage;
extern const char* const kPowerRestoredMessage;

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

    // One pass: onDelay is "On Battery Shutdown", lowDelay "Low Battery
    // Shutdown" (looked at only when both flags are set).
    void Step(ICountdownHost& host, bool onBattery, bool batteryLow, int onDelay, int lowDelay);

    // Milliseconds until the deadline at tick now: 0 once it has passed,
    // -1 when no shutdown time is set.
    std::int64_t TimeLeft(std::uint32_t now) const;

    std::uint32_t Deadline() const { return m_dwDeadline; }
    bool LowBatteryWarned() const { return m_bLowBatteryWarned; }

private:
    // Moves the deadline to now + delay seconds unless it is already earlier.
    void Shorten(std::uint32_t now, int delaySeconds);

    std::uint32_t m_dwDeadline = kMains;
    bool m_bLowBatteryWarned = false;
};

}  // namespace cvn

#endif
