// The battery episode: every rule of the shutdown policy in one pure state
// machine. It is told facts, each with its millisecond tick count (time
// passing, each UPS's power, sessions made and lost, a suspension, the
// outcome of what it asked for), and the settings as a snapshot; it answers
// with what is to be done (records, notices, event commands, the command
// before the shutdown, the action, the shutdown request) and when it next
// needs to be woken. It reads no clock and no file and starts nothing, so
// that the random episodes of its test can drive it through hours in
// milliseconds.
#ifndef CVN_POLICY_EPISODE_H
#define CVN_POLICY_EPISODE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"
#include "supplies.h"

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

// Tick counts wrap every 2^32 ms; they are compared by their signed 32-bit
// difference, which holds for intervals up to 2^31 - 1 ms.
inline bool TickIsLater(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b) > 0;
}

// The settings the episode follows, as the last snapshot gave them.
struct CEpisodeSettings {
    int onBatteryDelay = 120;   // "On Battery Shutdown"; negative: none
    int lowBatteryDelay = 30;   // "Low Battery Shutdown"; negative: none
    int noticeDelay = 0;        // "Notice Delay"
    bool lostOnBatteryLow = false;  // "Lost On Battery=low"
    int fallbackDelay = 60;     // "Fallback Delay"
    bool dryRun = false;        // "Dry Run=1"
    std::string action;         // "Shutdown Action", folded; "" the ordinary shutdown
    bool beforeShutdown = false;    // a "Before Shutdown Command" is set
    int beforeShutdownTimeout = 60;  // its timeout in seconds
    int minimumSupplies = 1;    // "Minimum Supplies", held to 1..UPSes
};

// How the action came out.
enum class ActionOutcome {
    Failed,     // it did not work (its reason goes on record)
    Done,       // it says it worked: the ordinary shutdown follows after the fallback delay
    Suspended,  // the computer was away while it ran: a fresh start
};

// The episode's states. A resume and power restored are the ways back.
enum class EpisodeState {
    Mains,           // the computer counts as on mains: nothing to do
    Countdown,       // on battery, the deadline ahead
    LowBattery,      // the battery ran low: the shorter deadline
    LastNotice,      // the deadline came: the last notice is handed over (1 s at most)
    BeforeShutdown,  // the command before the shutdown runs (up to its timeout)
    Action,          // the chosen action runs
    Fallback,        // the action said it worked: the ordinary shutdown follows after the fallback delay
    Request,         // the shutdown is asked for
    Refused,         // the system refused: asked again a minute later
    Taken,           // the system took the request (or the dry run went on record)
};

// The names of the states as the documentation uses them.
const char* EpisodeStateName(EpisodeState state);
const int kEpisodeStateCount = 10;

// One thing the episode wants done, in the order it wants them.
struct CEpisodeOutput {
    enum class Kind {
        Record,          // a power event on record: notice, seconds (-1 none), ups
        Notice,          // the users told: notice, seconds; id for its hand-over
        EventCommand,    // the event command: event, text (power events: notice), secondsLeft, ups
        BeforeShutdown,  // start the command before the shutdown; id for its end
        Action,          // make the action text; id for its outcome
        Request,         // ask the system to shut down; id for its answer
        DryRun,          // the dry run's record instead of the request
        Resumed,         // the fresh start after a suspension of seconds
        ActionFailed,    // the action text failed with the reason detail
        ActionNoEffect,  // the action text said it worked, the system still runs seconds later
        Unheard,         // the UPS ups was not heard from; how it counts meanwhile
    };
    Kind kind;
    CNotice notice{nullptr, 0};
    int seconds = -1;
    int ups = -1;
    CommandEvent event = CommandEvent::OnBattery;
    long long secondsLeft = -1;
    std::uint32_t id = 0;
    std::string text;
    std::string detail;
};

class CEpisode {
public:
    // What Deadline() gives while on mains, and on battery with no time
    // set; a real deadline may take either value as well.
    static constexpr std::uint32_t kMains = 0;
    static constexpr std::uint32_t kNoShutdownTime = 0xFFFFFFFF;
    // The longest delay a wrap-safe difference holds, in seconds.
    static constexpr int kMaxDelaySeconds = 2147483;
    // How long after a refused (or unanswered) request the next one is made.
    static constexpr std::uint32_t kShutdownRetryMs = 60000;
    // The longest the request waits for the last notice's hand-over.
    static constexpr std::uint32_t kHandOverMs = 1000;
    // What the command before the shutdown and the action may take to be
    // found and started, on top of their own time.
    static constexpr std::uint32_t kStartMs = 1000;
    // The longest hibernation and a shutdown command are given.
    static constexpr std::uint32_t kHibernateMs = 10000;
    static constexpr std::uint32_t kShutdownCommandMs = 60000;
    // What an effect that ran out its time is given to say so.
    static constexpr std::uint32_t kOutcomeSlackMs = 1000;
    // A second report of the same suspension (the driver's wait and the
    // effect's both measure it) comes within this much of the first.
    static constexpr std::uint32_t kSameSuspensionMs = 10000;

    explicit CEpisode(std::size_t upsCount = 1);

    // The inputs. Each is taken at tick now, which never goes back.
    void Settings(std::uint32_t now, const CEpisodeSettings& settings);
    void Tick(std::uint32_t now);
    void Power(std::uint32_t now, std::size_t ups, bool onBattery, bool batteryLow);
    void SessionMade(std::uint32_t now, std::size_t ups);
    void SessionLost(std::uint32_t now, std::size_t ups);
    // An attempt at a session with the UPS's server failed.
    void AttemptFailed(std::uint32_t now, std::size_t ups);
    // The computer was away for ms: everything timed is stale.
    void Suspended(std::uint32_t now, std::uint32_t ms);
    // The outcomes of the effects, each with the id of its output; one that
    // is no longer awaited (a new episode, a guard that ran out) is left.
    void NoticeHandedOver(std::uint32_t now, std::uint32_t id);
    void BeforeShutdownEnded(std::uint32_t now, std::uint32_t id);
    void ActionResult(std::uint32_t now, std::uint32_t id, ActionOutcome outcome, const std::string& detail,
                      std::uint32_t suspendedMs = 0);
    void RequestResult(std::uint32_t now, std::uint32_t id, bool taken);

    // The outputs since the last call.
    std::vector<CEpisodeOutput> TakeOutputs();
    // Milliseconds from tick now until the episode has something to do by
    // itself; -1 when nothing is due until an input comes.
    std::int64_t WakeIn(std::uint32_t now) const;
    // Milliseconds to the shutdown as the commands are told it (the
    // deadline, or the next request after a refused one); 0 when due, -1
    // when no shutdown time is set.
    std::int64_t TimeLeft(std::uint32_t now) const;

    EpisodeState State() const { return m_eState; }
    std::uint32_t Deadline() const;
    bool LowBatteryWarned() const { return m_bLowBatteryWarned; }
    // The computer's power as the rules count it.
    CPowerFlags Computer() const;
    std::size_t UpsCount() const { return m_Ups.size(); }

private:
    struct CUps {
        bool heard = false;
        bool unheardReported = false;
        CPowerFlags power;
    };
    // The action of the episode: made once.
    enum class ActionMark { NotMade, Awaited, Over };

    void Evaluate(std::uint32_t now);
    void BeginEpisode(std::uint32_t now);
    void EndEpisode();
    void FreshStart(std::uint32_t now, std::uint32_t ms);
    void Shorten(std::uint32_t now, int delaySeconds);
    bool Due(std::uint32_t now) const;
    // The deadline came (or the next request is due): the last notice
    // first, then the rest.
    void BeginShutdownPass(std::uint32_t now);
    void Advance(std::uint32_t now);
    // The steps due in the state the episode is in.
    void Proceed(std::uint32_t now);
    // Ends a gone-ahead episode on mains once nothing of it is in flight.
    void Settle(std::uint32_t now);
    // Whether the shutdown pass still has steps to make.
    bool InFlight(std::uint32_t now) const;
    void MakeRequest(std::uint32_t now);
    void Await(EpisodeState state, std::uint32_t now, std::uint32_t ms);
    void Record(const CNotice& notice, int seconds, int ups);
    void Tell(const CNotice& notice, int seconds, int ups);
    void Emit(CEpisodeOutput::Kind kind);
    // The event command of a session made or lost, with the time left.
    void SessionCommand(std::uint32_t now, std::size_t ups, CommandEvent event);
    int CauseOfChange() const;

    CEpisodeSettings m_Settings;
    std::vector<CUps> m_Ups;
    std::vector<CEpisodeOutput> m_Outputs;
    EpisodeState m_eState = EpisodeState::Mains;

    bool m_bTimeSet = false;
    std::uint32_t m_dwDeadline = 0;
    std::uint32_t m_dwEpisodeStart = 0;
    bool m_bLowBatteryWarned = false;
    bool m_bUsersWarned = false;
    // The UPS whose change began the episode (the "shutting down" report
    // is about it) and the one that changed last.
    int m_nEpisodeCause = -1;
    int m_nChange = -1;

    // Once per episode.
    bool m_bBeforeShutdownRan = false;
    ActionMark m_eAction = ActionMark::NotMade;
    std::string m_strAction;
    std::uint32_t m_dwActionDone = 0;

    // The next request after a refused one or after the fallback delay.
    std::uint32_t m_dwNextAt = 0;
    // The effect awaited, and how long at most.
    std::uint32_t m_dwAwaitId = 0;
    std::uint32_t m_dwAwaitUntil = 0;
    // The last notice and whether it has been handed over.
    std::uint32_t m_dwNoticeId = 0;
    std::uint32_t m_dwNoticeAt = 0;
    bool m_bNoticeHandedOver = true;
    std::uint32_t m_dwNextId = 0;

    // Mains power came while the command before the shutdown ran: its
    // shutdown goes ahead all the same.
    bool m_bGoingAhead = false;

    bool m_bResumed = false;
    std::uint32_t m_dwResumedAt = 0;
};

}  // namespace cvn

#endif
