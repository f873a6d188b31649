#include "policy/episode.h"

#include <algorithm>
#include <memory>

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

namespace {

const char* const kStateNames[kEpisodeStateCount] = {"Mains",  "Countdown", "LowBattery", "LastNotice", "BeforeShutdown",
                                                     "Action", "Fallback",  "Request",    "Refused",    "Taken"};

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

std::int64_t Until(std::uint32_t at, std::uint32_t now)
{
    const std::int32_t left = static_cast<std::int32_t>(at - now);
    return left > 0 ? left : 0;
}

int Capped(int seconds, int longest)
{
    return seconds > longest ? longest : seconds;
}

}  // namespace

const char* EpisodeStateName(EpisodeState state)
{
    return kStateNames[static_cast<int>(state)];
}

CEpisode::CEpisode(std::size_t upsCount) : m_Ups(upsCount ? upsCount : 1) {}

CPowerFlags CEpisode::Computer() const
{
    // A UPS not heard from in this run: on mains with a good battery while
    // every UPS heard from is on mains (a boot while its server is still
    // down, a mistyped section, bring no countdown); on battery with a good
    // battery once one heard from is not, since nobody can say that it
    // feeds the computer.
    // On the stack for the eight servers the settings allow: this runs on
    // every input.
    CPowerFlags flags[8];
    bool heardFlags[8];
    std::vector<CPowerFlags> morePower;
    std::unique_ptr<bool[]> moreHeard;
    CPowerFlags* power = flags;
    bool* heard = heardFlags;
    if (m_Ups.size() > 8) {
        morePower.resize(m_Ups.size());
        moreHeard.reset(new bool[m_Ups.size()]);
        power = morePower.data();
        heard = moreHeard.get();
    }
    for (std::size_t i = 0; i < m_Ups.size(); ++i) {
        power[i] = m_Ups[i].power;
        heard[i] = m_Ups[i].heard;
    }
    const int count = static_cast<int>(m_Ups.size());
    const int minimum = std::max(1, std::min(m_Settings.minimumSupplies, count));
    return ComputerPowerHeard(power, heard, m_Ups.size(), minimum);
}

void CEpisode::Emit(CEpisodeOutput::Kind kind)
{
    CEpisodeOutput output;
    output.kind = kind;
    if (++m_dwNextId == 0)
        m_dwNextId = 1;
    output.id = m_dwNextId;
    m_Outputs.push_back(output);
}

void CEpisode::Record(const CNotice& notice, int seconds, int ups)
{
    Emit(CEpisodeOutput::Kind::Record);
    m_Outputs.back().notice = notice;
    m_Outputs.back().seconds = seconds;
    m_Outputs.back().ups = ups;
}

// Both on record and to the users, with the event command beside the
// notice: on record first, since a notice may take seconds to hand over.
void CEpisode::Tell(const CNotice& notice, int seconds, int ups)
{
    Record(notice, seconds, ups);
    const CommandEvent event = EventOf(notice);
    Emit(CEpisodeOutput::Kind::EventCommand);
    m_Outputs.back().notice = notice;
    m_Outputs.back().seconds = seconds;
    m_Outputs.back().ups = ups;
    m_Outputs.back().event = event;
    m_Outputs.back().secondsLeft = seconds >= 0 ? seconds : event == CommandEvent::ShuttingDown ? 0 : -1;
    Emit(CEpisodeOutput::Kind::Notice);
    m_Outputs.back().notice = notice;
    m_Outputs.back().seconds = seconds;
    m_Outputs.back().ups = ups;
    m_bUsersWarned = true;
}

int CEpisode::CauseOfChange() const
{
    if (m_nChange >= 0 && (m_Ups[m_nChange].power.onBattery || !m_Ups[m_nChange].heard))
        return m_nChange;
    for (std::size_t i = 0; i < m_Ups.size(); ++i) {
        if (m_Ups[i].heard && m_Ups[i].power.onBattery)
            return static_cast<int>(i);
    }
    return m_nChange >= 0 ? m_nChange : 0;
}

void CEpisode::Shorten(std::uint32_t now, int delaySeconds)
{
    delaySeconds = Capped(delaySeconds, kMaxDelaySeconds);
    const std::uint32_t candidate = now + static_cast<std::uint32_t>(delaySeconds) * 1000u;
    // No shutdown time yet is later than any candidate.
    if (!m_bTimeSet || !TickIsLater(candidate, m_dwDeadline))
        m_dwDeadline = candidate;
    m_bTimeSet = true;
}

bool CEpisode::Due(std::uint32_t now) const
{
    return m_bTimeSet && TickIsLater(now, m_dwDeadline);
}

void CEpisode::BeginEpisode(std::uint32_t now)
{
    // The clock starts at the failure, whatever the notice takes to hand
    // over; with a notice delay the message waits, the clock does not.
    m_eState = EpisodeState::Countdown;
    m_bTimeSet = false;
    m_dwEpisodeStart = now;
    m_bLowBatteryWarned = false;
    m_bUsersWarned = m_Settings.noticeDelay <= 0;
    m_nEpisodeCause = CauseOfChange();
    if (m_Settings.onBatteryDelay >= 0) {
        if (m_bUsersWarned) {
            Tell(kOnBatteryNotice, Capped(m_Settings.onBatteryDelay, kMaxDelaySeconds), m_nEpisodeCause);
        } else {
            Record(kOnBatteryNotice, Capped(m_Settings.onBatteryDelay, kMaxDelaySeconds), m_nEpisodeCause);
        }
    }
}

void CEpisode::EndEpisode()
{
    // The once-only steps may run again in the next episode.
    m_eState = EpisodeState::Mains;
    m_bTimeSet = false;
    m_bBeforeShutdownRan = false;
    m_eAction = ActionMark::NotMade;
    m_dwAwaitId = 0;
    m_bNoticeHandedOver = true;
    m_bGoingAhead = false;
}

void CEpisode::FreshStart(std::uint32_t now, std::uint32_t ms)
{
    if (m_bResumed && now - m_dwResumedAt < kSameSuspensionMs)
        return;
    m_bResumed = true;
    m_dwResumedAt = now;
    Emit(CEpisodeOutput::Kind::Resumed);
    m_Outputs.back().seconds = static_cast<int>(ms / 1000);
    // The deadline and the timers are stale; the power last heard still
    // stands until a session says otherwise: the network gear may be down
    // in the same outage, and a UPS on battery must still bring the
    // shutdown, after a new full countdown.
    EndEpisode();
    Evaluate(now);
}

void CEpisode::Await(EpisodeState state, std::uint32_t now, std::uint32_t ms)
{
    m_eState = state;
    m_dwAwaitId = m_dwNextId;
    m_dwAwaitUntil = now + ms;
}

void CEpisode::BeginShutdownPass(std::uint32_t now)
{
    Tell(kShutdownNowNotice, -1, m_nEpisodeCause);
    m_dwNoticeId = m_dwNextId;
    m_dwNoticeAt = now;
    m_bNoticeHandedOver = false;
    m_eState = EpisodeState::LastNotice;
    m_dwAwaitId = 0;
    Advance(now);
}

void CEpisode::Advance(std::uint32_t now)
{
    // The command before the shutdown runs while the last notice is handed
    // over, once per episode, and holds the rest up to its timeout.
    if (m_Settings.beforeShutdown && !m_bBeforeShutdownRan) {
        m_bBeforeShutdownRan = true;
        Emit(CEpisodeOutput::Kind::BeforeShutdown);
        const int timeout = std::max(1, std::min(m_Settings.beforeShutdownTimeout, 86400));
        Await(EpisodeState::BeforeShutdown, now, static_cast<std::uint32_t>(timeout) * 1000u + kStartMs + kOutcomeSlackMs);
        return;
    }
    if (!m_bNoticeHandedOver && now - m_dwNoticeAt < kHandOverMs) {
        m_eState = EpisodeState::LastNotice;
        m_dwAwaitId = 0;
        return;
    }
    // A dry run goes this far; the request is only put on record, and counts
    // as one the system took.
    if (m_Settings.dryRun) {
        Emit(CEpisodeOutput::Kind::DryRun);
        m_eState = EpisodeState::Taken;
        return;
    }
    if (m_eAction == ActionMark::Awaited) {
        // The action said it worked, yet the client still runs and nothing
        // ended the episode: the battery does not wait for it any longer.
        Emit(CEpisodeOutput::Kind::ActionNoEffect);
        m_Outputs.back().text = m_strAction;
        m_Outputs.back().seconds = static_cast<int>((now - m_dwActionDone) / 1000u);
        m_eAction = ActionMark::Over;
        MakeRequest(now);
        return;
    }
    const std::string& action = m_Settings.action;
    if (m_eAction == ActionMark::NotMade && !action.empty() && action != "shutdown") {
        // Once per episode: an action that does nothing must not be made
        // over and over while the battery runs down.
        m_eAction = ActionMark::Over;
        m_strAction = action;
        Emit(CEpisodeOutput::Kind::Action);
        m_Outputs.back().text = action;
        const std::uint32_t limit = action == "hibernate" ? kHibernateMs
                                    : action == "command" ? kStartMs + kShutdownCommandMs
                                                          : 0;
        Await(EpisodeState::Action, now, limit + kOutcomeSlackMs);
        return;
    }
    MakeRequest(now);
}

void CEpisode::MakeRequest(std::uint32_t now)
{
    Emit(CEpisodeOutput::Kind::Request);
    Await(EpisodeState::Request, now, kShutdownRetryMs);
}

void CEpisode::Evaluate(std::uint32_t now)
{
    const CPowerFlags computer = Computer();
    if (!computer.onBattery) {
        // A command before the shutdown that already runs is not undone,
        // and its shutdown goes ahead: the steps after it are made, mains
        // or not, up to the request's answer.
        if (m_eState == EpisodeState::BeforeShutdown)
            m_bGoingAhead = true;
        if (m_bGoingAhead && InFlight(now)) {
            Proceed(now);
            if (InFlight(now))
                return;
        }
        if (m_eState != EpisodeState::Mains) {
            // Users who were never warned need not hear that it is over.
            if (m_bUsersWarned)
                Tell(kPowerRestoredNotice, -1, m_nChange);
            else
                Record(kPowerRestoredNotice, -1, m_nChange);
            EndEpisode();
        }
        return;
    }

    // On battery again, the pass that went ahead has had its answer: the
    // next pass is an ordinary one.
    if (m_bGoingAhead && !InFlight(now))
        m_bGoingAhead = false;
    if (m_eState == EpisodeState::Mains)
        BeginEpisode(now);
    if (m_Settings.onBatteryDelay >= 0)
        Shorten(now, m_Settings.onBatteryDelay);

    if (computer.batteryLow && m_Settings.lowBatteryDelay >= 0) {
        const int lowDelay = Capped(m_Settings.lowBatteryDelay, kMaxDelaySeconds);
        if (!m_bLowBatteryWarned) {
            // Waiting for the next request (after a refused one, or for an
            // action that said it worked) is over once the battery runs
            // low: the deadline has passed, so the users are told the time
            // really left, none.
            const bool waiting = m_eState == EpisodeState::Refused || m_eState == EpisodeState::Fallback;
            if (waiting)
                m_dwNextAt = now;
            Tell(kLowBatteryNotice, waiting ? 0 : lowDelay, m_nChange >= 0 ? m_nChange : m_nEpisodeCause);
        }
        m_bLowBatteryWarned = true;
        Shorten(now, lowDelay);
        if (m_eState == EpisodeState::Countdown)
            m_eState = EpisodeState::LowBattery;
    }

    // The outage has lasted the notice delay: the users hear of it now,
    // with the time that is really left, if any is (a notice delay as long
    // as the countdown leaves only the shutdown to tell).
    const int noticeDelay = std::max(0, Capped(m_Settings.noticeDelay, kMaxDelaySeconds));
    const bool counting = m_eState == EpisodeState::Countdown || m_eState == EpisodeState::LowBattery;
    const bool timeLeft = !m_bTimeSet || TickIsLater(m_dwDeadline, now);
    if (counting && !m_bUsersWarned && timeLeft &&
        now - m_dwEpisodeStart >= static_cast<std::uint32_t>(noticeDelay) * 1000u) {
        m_bUsersWarned = true;
        if (m_bTimeSet) {
            const std::uint32_t left = m_dwDeadline - now;
            const int seconds = static_cast<int>((left + 999u) / 1000u);
            Emit(CEpisodeOutput::Kind::EventCommand);
            m_Outputs.back().notice = kOnBatteryNotice;
            m_Outputs.back().seconds = seconds;
            m_Outputs.back().secondsLeft = seconds;
            m_Outputs.back().ups = m_nEpisodeCause;
            Emit(CEpisodeOutput::Kind::Notice);
            m_Outputs.back().notice = kOnBatteryNotice;
            m_Outputs.back().seconds = seconds;
            m_Outputs.back().ups = m_nEpisodeCause;
        }
    }

    Proceed(now);
}

void CEpisode::Proceed(std::uint32_t now)
{
    switch (m_eState) {
    case EpisodeState::Countdown:
    case EpisodeState::LowBattery:
        if (Due(now))
            BeginShutdownPass(now);
        break;
    case EpisodeState::Refused:
    case EpisodeState::Fallback:
        if (!TickIsLater(m_dwNextAt, now))
            BeginShutdownPass(now);
        break;
    case EpisodeState::LastNotice:
        Advance(now);
        break;
    case EpisodeState::BeforeShutdown:
        // Its end never came: the rest goes ahead.
        if (!TickIsLater(m_dwAwaitUntil, now)) {
            m_dwAwaitId = 0;
            Advance(now);
        }
        break;
    case EpisodeState::Action:
        if (!TickIsLater(m_dwAwaitUntil, now)) {
            m_dwAwaitId = 0;
            Emit(CEpisodeOutput::Kind::ActionFailed);
            m_Outputs.back().text = m_strAction;
            m_Outputs.back().detail = "no outcome within its time";
            MakeRequest(now);
        }
        break;
    case EpisodeState::Request:
        // An unanswered request (a shutdown program that hangs) is made again.
        if (!TickIsLater(m_dwAwaitUntil, now))
            BeginShutdownPass(now);
        break;
    case EpisodeState::Mains:
    case EpisodeState::Taken:
        break;
    }
}

void CEpisode::Settings(std::uint32_t now, const CEpisodeSettings& settings)
{
    m_Settings = settings;
    Evaluate(now);
}

void CEpisode::Tick(std::uint32_t now)
{
    Evaluate(now);
}

void CEpisode::Power(std::uint32_t now, std::size_t ups, bool onBattery, bool batteryLow)
{
    if (ups >= m_Ups.size())
        return;
    CUps& entry = m_Ups[ups];
    if (!entry.heard || entry.power.onBattery != onBattery || entry.power.batteryLow != batteryLow)
        m_nChange = static_cast<int>(ups);
    entry.heard = true;
    entry.power.onBattery = onBattery;
    entry.power.batteryLow = batteryLow;
    Evaluate(now);
}

void CEpisode::SessionCommand(std::uint32_t now, std::size_t ups, CommandEvent event)
{
    Emit(CEpisodeOutput::Kind::EventCommand);
    m_Outputs.back().event = event;
    m_Outputs.back().ups = static_cast<int>(ups);
    const std::int64_t left = TimeLeft(now);
    m_Outputs.back().secondsLeft = left < 0 ? -1 : (left + 999) / 1000;
}

void CEpisode::SessionMade(std::uint32_t now, std::size_t ups)
{
    if (ups >= m_Ups.size())
        return;
    SessionCommand(now, ups, CommandEvent::SessionMade);
    Evaluate(now);
}

void CEpisode::SessionLost(std::uint32_t now, std::size_t ups)
{
    if (ups >= m_Ups.size())
        return;
    SessionCommand(now, ups, CommandEvent::SessionLost);
    // Nobody can tell us now that the battery runs low: some sites would
    // rather take that for granted. A new session reports the truth.
    CUps& entry = m_Ups[ups];
    if (m_Settings.lostOnBatteryLow && entry.heard && entry.power.onBattery && !entry.power.batteryLow) {
        entry.power.batteryLow = true;
        m_nChange = static_cast<int>(ups);
    }
    Evaluate(now);
}

void CEpisode::AttemptFailed(std::uint32_t now, std::size_t ups)
{
    if (ups >= m_Ups.size())
        return;
    CUps& entry = m_Ups[ups];
    if (m_Ups.size() > 1 && !entry.heard && !entry.unheardReported) {
        entry.unheardReported = true;
        Emit(CEpisodeOutput::Kind::Unheard);
        m_Outputs.back().ups = static_cast<int>(ups);
    }
    Evaluate(now);
}

void CEpisode::Suspended(std::uint32_t now, std::uint32_t ms)
{
    FreshStart(now, ms);
}

void CEpisode::NoticeHandedOver(std::uint32_t now, std::uint32_t id)
{
    if (id == 0 || id != m_dwNoticeId)
        return;
    m_bNoticeHandedOver = true;
    if (m_eState == EpisodeState::LastNotice)
        Advance(now);
    Settle(now);
}

void CEpisode::BeforeShutdownEnded(std::uint32_t now, std::uint32_t id)
{
    if (m_eState != EpisodeState::BeforeShutdown || id == 0 || id != m_dwAwaitId)
        return;
    m_dwAwaitId = 0;
    Advance(now);
    Settle(now);
}

void CEpisode::ActionResult(std::uint32_t now, std::uint32_t id, ActionOutcome outcome, const std::string& detail,
                            std::uint32_t suspendedMs)
{
    if (m_eState != EpisodeState::Action || id == 0 || id != m_dwAwaitId)
        return;
    m_dwAwaitId = 0;
    switch (outcome) {
    case ActionOutcome::Suspended:
        FreshStart(now, suspendedMs);
        break;
    case ActionOutcome::Done:
        // Checked, not trusted: the ordinary shutdown comes after the
        // fallback delay unless the computer goes down or sleeps.
        m_eAction = ActionMark::Awaited;
        m_dwActionDone = now;
        m_eState = EpisodeState::Fallback;
        m_dwNextAt = now + static_cast<std::uint32_t>(std::max(0, std::min(m_Settings.fallbackDelay, 86400))) * 1000u;
        Evaluate(now);
        break;
    case ActionOutcome::Failed:
        Emit(CEpisodeOutput::Kind::ActionFailed);
        m_Outputs.back().text = m_strAction;
        m_Outputs.back().detail = detail;
        MakeRequest(now);
        break;
    }
    Settle(now);
}

void CEpisode::RequestResult(std::uint32_t now, std::uint32_t id, bool taken)
{
    if (m_eState != EpisodeState::Request || id == 0 || id != m_dwAwaitId)
        return;
    m_dwAwaitId = 0;
    if (taken) {
        // Nothing more to do until mains power returns.
        m_eState = EpisodeState::Taken;
        Settle(now);
        return;
    }
    m_eState = EpisodeState::Refused;
    m_dwNextAt = now + kShutdownRetryMs;
    Evaluate(now);
}

bool CEpisode::InFlight(std::uint32_t now) const
{
    return m_eState == EpisodeState::BeforeShutdown || m_eState == EpisodeState::LastNotice ||
           m_eState == EpisodeState::Action ||
           (m_eState == EpisodeState::Request && TickIsLater(m_dwAwaitUntil, now));
}

void CEpisode::Settle(std::uint32_t now)
{
    // A shutdown that went ahead on mains ends its episode once it has its
    // answer, not at the next input, which may be the next outage.
    if (m_bGoingAhead)
        Evaluate(now);
}

std::vector<CEpisodeOutput> CEpisode::TakeOutputs()
{
    std::vector<CEpisodeOutput> outputs;
    outputs.swap(m_Outputs);
    return outputs;
}

std::int64_t CEpisode::WakeIn(std::uint32_t now) const
{
    switch (m_eState) {
    case EpisodeState::Countdown:
    case EpisodeState::LowBattery: {
        std::int64_t wake = -1;
        if (m_bTimeSet)
            wake = Until(m_dwDeadline + 1u, now);
        // The delayed notice, while there is still time to tell.
        const int noticeDelay = std::max(0, Capped(m_Settings.noticeDelay, kMaxDelaySeconds));
        const std::uint32_t noticeAt = m_dwEpisodeStart + static_cast<std::uint32_t>(noticeDelay) * 1000u;
        const std::uint32_t tellAt = TickIsLater(noticeAt, now) ? noticeAt : now;
        if (!m_bUsersWarned && (!m_bTimeSet || TickIsLater(m_dwDeadline, tellAt))) {
            const std::int64_t notice = Until(noticeAt, now);
            wake = wake < 0 ? notice : std::min(wake, notice);
        }
        return wake;
    }
    case EpisodeState::LastNotice:
        return m_bNoticeHandedOver ? 0 : Until(m_dwNoticeAt + kHandOverMs, now);
    case EpisodeState::BeforeShutdown:
    case EpisodeState::Action:
    case EpisodeState::Request:
        return Until(m_dwAwaitUntil, now);
    case EpisodeState::Refused:
    case EpisodeState::Fallback:
        return Until(m_dwNextAt, now);
    case EpisodeState::Mains:
    case EpisodeState::Taken:
        break;
    }
    return -1;
}

std::uint32_t CEpisode::Deadline() const
{
    if (m_eState == EpisodeState::Mains)
        return kMains;
    return m_bTimeSet ? m_dwDeadline : kNoShutdownTime;
}

std::int64_t CEpisode::TimeLeft(std::uint32_t now) const
{
    if (m_eState == EpisodeState::Mains || m_eState == EpisodeState::Taken || !m_bTimeSet)
        return -1;
    if (m_eState == EpisodeState::Refused || m_eState == EpisodeState::Fallback)
        return Until(m_dwNextAt, now);
    return Until(m_dwDeadline, now);
}

}  // namespace cvn
