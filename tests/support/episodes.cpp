#include "episodes.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace cvn {
namespace test {

namespace {

using Out = CEpisodeOutput::Kind;

class CRandom {
public:
    explicit CRandom(std::uint32_t seed) : m_engine(seed) {}
    std::uint32_t Below(std::uint32_t n) { return n ? static_cast<std::uint32_t>(m_engine() % n) : 0; }
    bool Chance(int percent) { return static_cast<int>(Below(100)) < percent; }
    int Between(int low, int high) { return low + static_cast<int>(Below(static_cast<std::uint32_t>(high - low + 1))); }

private:
    std::mt19937 m_engine;
};

const char* const kActions[] = {"", "shutdown", "hibernate", "command", "reboot"};

CEpisodeSettings RandomSettings(CRandom& random, int ups)
{
    CEpisodeSettings s;
    s.onBatteryDelay = random.Chance(10) ? -1 : random.Chance(10) ? 0 : random.Between(1, 180);
    s.lowBatteryDelay = random.Chance(10) ? -1 : random.Chance(10) ? 0 : random.Between(1, 60);
    s.noticeDelay = random.Chance(60) ? 0 : random.Between(1, 30);
    s.lostOnBatteryLow = random.Chance(30);
    s.fallbackDelay = random.Between(0, 90);
    s.dryRun = random.Chance(15);
    s.action = kActions[random.Below(5)];
    s.beforeShutdown = random.Chance(30);
    s.beforeShutdownTimeout = random.Between(1, 90);
    s.minimumSupplies = random.Between(1, ups);
    return s;
}

// One setting changed, as an administrator might while the episode runs.
CEpisodeSettings Changed(CRandom& random, CEpisodeSettings s, int ups)
{
    const CEpisodeSettings fresh = RandomSettings(random, ups);
    switch (random.Below(7)) {
    case 0:
        s.onBatteryDelay = fresh.onBatteryDelay;
        break;
    case 1:
        s.lowBatteryDelay = fresh.lowBatteryDelay;
        break;
    case 2:
        s.dryRun = !s.dryRun;
        break;
    case 3:
        s.action = fresh.action;
        break;
    case 4:
        s.minimumSupplies = fresh.minimumSupplies;
        break;
    case 5:
        s.beforeShutdown = fresh.beforeShutdown;
        s.beforeShutdownTimeout = fresh.beforeShutdownTimeout;
        break;
    default:
        s = fresh;
        break;
    }
    return s;
}

// The reference model: the computer's power and the deadlines from the
// inputs alone, and what each of them obliges the core to do by when.
class CModel {
public:
    CModel(int ups, const CEpisodeSettings& settings) : m_ups(static_cast<std::size_t>(ups)), m_settings(settings) {}

    void SetSettings(const CEpisodeSettings& settings) { m_settings = settings; }
    void Power(int ups, bool onBattery, bool low)
    {
        m_ups[ups].heard = true;
        m_ups[ups].onBattery = onBattery;
        m_ups[ups].low = low;
    }
    void Lost(int ups)
    {
        CUps& u = m_ups[ups];
        if (m_settings.lostOnBatteryLow && u.heard && u.onBattery)
            u.low = true;
    }
    // A suspension counted once, however many report it.
    void Suspend(std::uint32_t now)
    {
        if (m_resumed && now - m_resumedAt < CEpisode::kSameSuspensionMs)
            return;
        m_resumed = true;
        m_resumedAt = now;
        m_active = false;
        m_goAhead = false;
        m_beforeOpen = false;
    }

    bool OnBattery() const
    {
        bool heardOnBattery = false;
        for (const CUps& u : m_ups)
            heardOnBattery = heardOnBattery || (u.heard && u.onBattery);
        int onMains = 0;
        for (const CUps& u : m_ups)
            onMains += (u.heard ? !u.onBattery : !heardOnBattery) ? 1 : 0;
        return onMains < Minimum();
    }
    bool Low() const
    {
        int good = 0;
        for (const CUps& u : m_ups)
            good += (u.heard && u.low) ? 0 : 1;
        return good < Minimum();
    }

    // At every input, once the core has taken it.
    void Evaluate(std::uint32_t now)
    {
        if (!OnBattery()) {
            // Mains while the command before the shutdown runs: its
            // shutdown goes ahead, up to the request's answer.
            if (m_active && m_beforeOpen)
                m_goAhead = true;
            if (!m_goAhead || Answered(now))
                End();
            CloseBefore(now);
            return;
        }
        CloseBefore(now);
        if (m_goAhead && Answered(now))
            m_goAhead = false;
        if (!m_active) {
            m_active = true;
            m_start = now;
            m_hasDeadline = false;
            m_acted = false;
            m_taken = false;
            m_beforeRuns = m_actionRuns = 0;
            m_actionOpen = false;
            m_hasObligation = false;
            m_requestOut = false;
            m_goAhead = false;
            m_beforeOpen = false;
            m_refusedWait = m_fallbackWait = false;
        }
        if (m_settings.onBatteryDelay >= 0)
            Candidate(now + static_cast<std::uint32_t>(m_settings.onBatteryDelay) * 1000u);
        if (Low() && m_settings.lowBatteryDelay >= 0)
            Candidate(now + static_cast<std::uint32_t>(m_settings.lowBatteryDelay) * 1000u);
    }

    // Whether the core owes a shutdown by a tick before now.
    std::string Overdue(std::uint32_t now) const
    {
        if (m_active && m_hasObligation && TickIsLater(now, m_obligation))
            return "no shutdown by " + std::to_string(m_obligation - m_base) + " ms (" + m_why + ")";
        return "";
    }

    std::string Output(const CEpisodeOutput& out, std::uint32_t now)
    {
        const bool act = out.kind == Out::Request || out.kind == Out::DryRun || out.kind == Out::Action ||
                         out.kind == Out::BeforeShutdown;
        if (!act)
            return "";
        if (!m_active || (!OnBattery() && !(m_goAhead && out.kind != Out::BeforeShutdown)))
            return std::string("a shutdown step (") + Name(out.kind) + ") while on mains";
        if (m_taken)
            return std::string("a shutdown step (") + Name(out.kind) + ") after the request was taken";
        if (!m_acted && (!m_hasDeadline || !TickIsLater(now, m_deadline)))
            return std::string("a shutdown step (") + Name(out.kind) + ") before the deadline";
        m_acted = true;
        m_refusedWait = m_fallbackWait = false;
        // A new pass: the request before it is no longer awaited.
        if (out.kind != Out::Request)
            m_requestOut = false;
        switch (out.kind) {
        case Out::BeforeShutdown:
            if (++m_beforeRuns > 1)
                return "the command before the shutdown twice in one episode";
            m_beforeOpen = true;
            m_beforeId = out.id;
            m_beforeUntil = now +
                            static_cast<std::uint32_t>(std::max(1, std::min(m_settings.beforeShutdownTimeout, 86400))) *
                                1000u +
                            CEpisode::kStartMs + CEpisode::kOutcomeSlackMs;
            Oblige(now + static_cast<std::uint32_t>(std::max(1, m_settings.beforeShutdownTimeout)) * 1000u +
                       CEpisode::kStartMs + CEpisode::kOutcomeSlackMs + 1001u,
                   "after the command before the shutdown");
            break;
        case Out::Action:
            if (++m_actionRuns > 1)
                return "the action twice in one episode";
            m_actionId = out.id;
            m_actionOpen = true;
            m_actionUntil = now + (out.text == "hibernate"  ? CEpisode::kHibernateMs
                                   : out.text == "command" ? CEpisode::kStartMs + CEpisode::kShutdownCommandMs
                                                           : 0) +
                            CEpisode::kOutcomeSlackMs;
            Oblige(now + CEpisode::kStartMs + CEpisode::kShutdownCommandMs + CEpisode::kOutcomeSlackMs + 1001u,
                   "after the action");
            break;
        case Out::DryRun:
            m_actionOpen = false;
            m_taken = true;
            m_hasObligation = false;
            break;
        case Out::Request:
            if (m_requestOut && TickIsLater(m_requestAt + CEpisode::kShutdownRetryMs, now))
                return "a request while the last one is unanswered";
            m_actionOpen = false;
            m_requestOut = true;
            m_requestAt = now;
            m_requestId = out.id;
            Oblige(now + CEpisode::kShutdownRetryMs + 1001u, "after an unanswered request");
            break;
        default:
            break;
        }
        return "";
    }

    // The outcomes the harness gave.
    void ActionOutcome(std::uint32_t now, std::uint32_t id, ActionOutcome outcome)
    {
        if (!ActionAwaited(now, id))
            return;
        m_actionOpen = false;
        if (outcome == cvn::ActionOutcome::Failed)
            Oblige(now + 1001u, "after the action failed");
        else if (outcome == cvn::ActionOutcome::Done) {
            m_fallbackWait = true;
            Oblige(now + static_cast<std::uint32_t>(m_settings.fallbackDelay) * 1000u + 1001u, "after the fallback");
        }
    }
    // The core waits for the action's outcome up to the action's limit.
    bool ActionAwaited(std::uint32_t now, std::uint32_t id) const
    {
        return m_active && m_actionOpen && id == m_actionId && TickIsLater(m_actionUntil, now);
    }
    void RequestOutcome(std::uint32_t now, std::uint32_t id, bool taken)
    {
        if (!m_active || !m_requestOut || id != m_requestId)
            return;
        m_requestOut = false;
        if (taken) {
            m_taken = true;
            m_hasObligation = false;
        } else {
            m_refusedWait = true;
            Oblige(now + CEpisode::kShutdownRetryMs + 1001u, "after a refused request");
        }
    }
    // The end of the command before the shutdown, as the core takes it.
    void BeforeEnded(std::uint32_t id)
    {
        if (m_beforeOpen && id == m_beforeId)
            m_beforeOpen = false;
    }
    void SetBase(std::uint32_t base) { m_base = base; }

    // After the core's answers to an input: a shutdown gone ahead on mains
    // ends its episode once it has its answer.
    void Settle(std::uint32_t now)
    {
        if (m_active && m_goAhead && Answered(now)) {
            if (OnBattery())
                m_goAhead = false;
            else
                End();
        }
    }

private:
    bool Answered(std::uint32_t now) const
    {
        return m_taken || m_refusedWait || m_fallbackWait ||
               (m_requestOut && !TickIsLater(m_requestAt + CEpisode::kShutdownRetryMs, now));
    }
    void End()
    {
        m_active = false;
        m_goAhead = false;
        m_beforeOpen = false;
    }
    // The core waits for the command's end up to its limit.
    void CloseBefore(std::uint32_t now)
    {
        if (m_beforeOpen && !TickIsLater(m_beforeUntil, now))
            m_beforeOpen = false;
    }
    struct CUps {
        bool heard = false;
        bool onBattery = false;
        bool low = false;
    };
    int Minimum() const
    {
        const int count = static_cast<int>(m_ups.size());
        return std::max(1, std::min(m_settings.minimumSupplies, count));
    }
    void Candidate(std::uint32_t at)
    {
        if (!m_hasDeadline || TickIsLater(m_deadline, at)) {
            m_hasDeadline = true;
            m_deadline = at;
        }
        if (!m_acted && !m_taken)
            Oblige(m_deadline + 1001u, "the deadline");
    }
    void Oblige(std::uint32_t by, const char* why)
    {
        m_hasObligation = true;
        m_obligation = by;
        m_why = why;
    }
    static const char* Name(Out kind)
    {
        switch (kind) {
        case Out::Request:
            return "request";
        case Out::DryRun:
            return "dry run";
        case Out::Action:
            return "action";
        default:
            return "before-shutdown command";
        }
    }

    std::vector<CUps> m_ups;
    CEpisodeSettings m_settings;
    bool m_active = false;
    std::uint32_t m_start = 0;
    bool m_hasDeadline = false;
    std::uint32_t m_deadline = 0;
    bool m_acted = false;
    bool m_taken = false;
    int m_beforeRuns = 0;
    int m_actionRuns = 0;
    std::uint32_t m_actionId = 0;
    bool m_actionOpen = false;
    std::uint32_t m_actionUntil = 0;
    bool m_hasObligation = false;
    std::uint32_t m_obligation = 0;
    const char* m_why = "";
    bool m_requestOut = false;
    std::uint32_t m_requestAt = 0;
    std::uint32_t m_requestId = 0;
    bool m_resumed = false;
    std::uint32_t m_resumedAt = 0;
    std::uint32_t m_base = 0;
    // The command before the shutdown awaited, and whether mains came while
    // it was: then the shutdown steps go on, on mains, up to the answer.
    bool m_beforeOpen = false;
    std::uint32_t m_beforeId = 0;
    std::uint32_t m_beforeUntil = 0;
    bool m_goAhead = false;
    // Waiting for the next request after a refused one or the fallback.
    bool m_refusedWait = false;
    bool m_fallbackWait = false;
};

// An outcome the harness will give at tick at.
struct CPending {
    std::uint32_t at;
    Out kind;
    std::uint32_t id;
    CEffectBehaviour behaviour;
};

}  // namespace

CEpisodeCase MakeEpisode(std::uint32_t seed)
{
    CRandom random(seed);
    CEpisodeCase episode;
    episode.seed = seed;
    episode.ups = random.Between(1, 8);
    episode.start = 0xFFFFFFFFu - random.Below(400000);
    episode.settings = RandomSettings(random, episode.ups);
    CEpisodeSettings settings = episode.settings;
    const int count = random.Between(4, 40);
    std::uint32_t at = 0;
    for (int i = 0; i < count; ++i) {
        at += random.Chance(15) ? 0 : random.Below(60000);
        CScriptedInput input;
        input.at = at;
        input.ups = static_cast<int>(random.Below(static_cast<std::uint32_t>(episode.ups)));
        const std::uint32_t roll = random.Below(100);
        if (roll < 55) {
            input.kind = CScriptedInput::Kind::Power;
            input.onBattery = random.Chance(60);
            input.batteryLow = random.Chance(30);
        } else if (roll < 65) {
            input.kind = CScriptedInput::Kind::Lost;
        } else if (roll < 72) {
            input.kind = CScriptedInput::Kind::Made;
        } else if (roll < 79) {
            input.kind = CScriptedInput::Kind::Failed;
        } else if (roll < 86) {
            input.kind = CScriptedInput::Kind::Suspend;
            input.ms = 30001u + random.Below(3600000);
        } else {
            input.kind = CScriptedInput::Kind::Settings;
            settings = Changed(random, settings, episode.ups);
            input.settings = settings;
        }
        episode.inputs.push_back(input);
    }
    for (int i = 0; i < 16; ++i) {
        CEffectBehaviour behaviour;
        behaviour.kind = static_cast<CEffectBehaviour::Kind>(random.Below(5));
        behaviour.delayMs = random.Chance(20) ? 0 : random.Below(3000);
        episode.behaviours.push_back(behaviour);
    }
    return episode;
}

std::string CheckEpisode(const CEpisodeCase& episode, int dropped)
{
    CEpisode core(static_cast<std::size_t>(episode.ups));
    CModel model(episode.ups, episode.settings);
    model.SetBase(episode.start);
    std::uint32_t now = episode.start;
    std::vector<CPending> pending;
    std::size_t nextInput = 0;
    std::size_t nextBehaviour = 0;
    long steps = 0;
    const std::uint32_t last = episode.inputs.empty() ? 0 : episode.inputs.back().at;
    const std::uint32_t horizon = episode.start + last + 900000u;
    std::string fault;
    CEpisodeSettings current = episode.settings;

    auto when = [&](const std::string& what) {
        return what + " at " + std::to_string(now - episode.start) + " ms";
    };
    // The core's answers: checked against the model, their outcomes planned.
    auto outputs = [&]() {
        for (const CEpisodeOutput& out : core.TakeOutputs()) {
            if (std::getenv("CVN_EPISODE_TRACE"))
                std::printf("  %u ms: output %d id %u ups %d seconds %d %s state %s\n", now - episode.start,
                            static_cast<int>(out.kind), out.id, out.ups, out.seconds, out.text.c_str(),
                            EpisodeStateName(core.State()));
            if (static_cast<int>(out.kind) == dropped)
                continue;
            fault = model.Output(out, now);
            if (!fault.empty())
                return;
            if (out.kind != Out::Notice && out.kind != Out::BeforeShutdown && out.kind != Out::Action &&
                out.kind != Out::Request)
                continue;
            const CEffectBehaviour b = episode.behaviours[nextBehaviour++ % episode.behaviours.size()];
            CPending p{now + b.delayMs, out.kind, out.id, b};
            if (b.kind == CEffectBehaviour::Kind::Hang) {
                // Run out to the effect's own limit; a notice or a request
                // that hangs never answers at all.
                if (out.kind == Out::Notice || out.kind == Out::Request)
                    continue;
                if (out.kind == Out::BeforeShutdown)
                    p.at = now + static_cast<std::uint32_t>(std::max(1, current.beforeShutdownTimeout)) * 1000u;
                else
                    p.at = now + (out.text == "hibernate" ? CEpisode::kHibernateMs
                                                          : CEpisode::kStartMs + CEpisode::kShutdownCommandMs);
            }
            if (out.kind == Out::Action && out.text != "hibernate" && out.text != "command") {
                // Not an action the runner knows: it fails at once.
                p.at = now;
                p.behaviour.kind = CEffectBehaviour::Kind::Fail;
            }
            pending.push_back(p);
        }
    };

    core.Settings(now, episode.settings);
    model.Evaluate(now);
    outputs();
    while (fault.empty()) {
        // The next thing to happen: an input, an outcome, or the core's wake-up.
        bool any = false;
        std::uint32_t next = 0;
        auto consider = [&](std::uint32_t at) {
            if (!any || TickIsLater(next, at)) {
                next = at;
                any = true;
            }
        };
        if (nextInput < episode.inputs.size())
            consider(episode.start + episode.inputs[nextInput].at);
        for (const CPending& p : pending)
            consider(p.at);
        const std::int64_t wake = core.WakeIn(now);
        if (wake >= 0)
            consider(now + static_cast<std::uint32_t>(wake));
        if (!any || TickIsLater(next, horizon)) {
            fault = model.Overdue(horizon);
            if (!fault.empty())
                fault = "at the end: " + fault;
            break;
        }
        fault = model.Overdue(next);
        if (!fault.empty()) {
            fault += " at " + std::to_string(next - episode.start) + " ms";
            break;
        }
        if (++steps > 200000) {
            fault = when("the core keeps asking to be woken");
            break;
        }
        if (TickIsLater(now, next))
            next = now;
        now = next;

        auto due = std::find_if(pending.begin(), pending.end(), [&](const CPending& p) { return p.at == now; });
        if (due != pending.end()) {
            const CPending p = *due;
            pending.erase(due);
            const bool ok = p.behaviour.kind == CEffectBehaviour::Kind::Succeed ||
                            p.behaviour.kind == CEffectBehaviour::Kind::NoEffect;
            switch (p.kind) {
            case Out::Notice:
                core.NoticeHandedOver(now, p.id);
                break;
            case Out::BeforeShutdown:
                core.BeforeShutdownEnded(now, p.id);
                model.BeforeEnded(p.id);
                break;
            case Out::Action: {
                const cvn::ActionOutcome outcome = p.behaviour.kind == CEffectBehaviour::Kind::Suspend
                                                       ? cvn::ActionOutcome::Suspended
                                                   : ok ? cvn::ActionOutcome::Done
                                                        : cvn::ActionOutcome::Failed;
                const bool awaited = model.ActionAwaited(now, p.id);
                core.ActionResult(now, p.id, outcome, "it did not work", 45000);
                if (outcome == cvn::ActionOutcome::Suspended && awaited)
                    model.Suspend(now);
                model.ActionOutcome(now, p.id, outcome);
                break;
            }
            case Out::Request:
                // A request "taken" without effect leaves the computer
                // running: nothing more is owed until mains or a resume.
                core.RequestResult(now, p.id, ok || p.behaviour.kind == CEffectBehaviour::Kind::Suspend);
                model.RequestOutcome(now, p.id, ok || p.behaviour.kind == CEffectBehaviour::Kind::Suspend);
                break;
            default:
                break;
            }
        } else if (nextInput < episode.inputs.size() && episode.start + episode.inputs[nextInput].at == now) {
            const CScriptedInput& input = episode.inputs[nextInput++];
            const std::size_t ups = static_cast<std::size_t>(input.ups);
            switch (input.kind) {
            case CScriptedInput::Kind::Power:
                model.Power(input.ups, input.onBattery, input.batteryLow);
                core.Power(now, ups, input.onBattery, input.batteryLow);
                break;
            case CScriptedInput::Kind::Lost:
                model.Lost(input.ups);
                core.SessionLost(now, ups);
                break;
            case CScriptedInput::Kind::Made:
                core.SessionMade(now, ups);
                break;
            case CScriptedInput::Kind::Failed:
                core.AttemptFailed(now, ups);
                break;
            case CScriptedInput::Kind::Suspend:
                model.Suspend(now);
                core.Suspended(now, input.ms);
                break;
            case CScriptedInput::Kind::Settings:
                current = input.settings;
                model.SetSettings(input.settings);
                core.Settings(now, input.settings);
                break;
            }
        } else {
            core.Tick(now);
        }
        model.Evaluate(now);
        outputs();
        model.Settle(now);
        if (!fault.empty())
            fault = when(fault);
    }
    return fault;
}

CEpisodeCase ShrinkEpisode(const CEpisodeCase& episode)
{
    CEpisodeCase best = episode;
    bool shrunk = true;
    while (shrunk) {
        shrunk = false;
        for (std::size_t i = 0; i < best.inputs.size(); ++i) {
            CEpisodeCase trial = best;
            trial.inputs.erase(trial.inputs.begin() + static_cast<std::ptrdiff_t>(i));
            if (!CheckEpisode(trial).empty()) {
                best = trial;
                shrunk = true;
                break;
            }
        }
    }
    return best;
}

std::string DescribeEpisode(const CEpisodeCase& episode)
{
    auto settings = [](const CEpisodeSettings& s) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "on %d low %d notice %d lost-low %d fallback %d dry %d action '%s' before %d/%d min %d",
                      s.onBatteryDelay, s.lowBatteryDelay, s.noticeDelay, s.lostOnBatteryLow, s.fallbackDelay,
                      s.dryRun, s.action.c_str(), s.beforeShutdown, s.beforeShutdownTimeout, s.minimumSupplies);
        return std::string(text);
    };
    std::string text = "seed " + std::to_string(episode.seed) + ", " + std::to_string(episode.ups) +
                       " UPSes, first tick " + std::to_string(episode.start) + "\n  settings " +
                       settings(episode.settings) + "\n";
    for (const CScriptedInput& input : episode.inputs) {
        text += "  " + std::to_string(input.at) + " ms: ";
        switch (input.kind) {
        case CScriptedInput::Kind::Power:
            text += "UPS " + std::to_string(input.ups) + (input.onBattery ? " on battery" : " on mains") +
                    (input.batteryLow ? ", battery low" : "");
            break;
        case CScriptedInput::Kind::Lost:
            text += "UPS " + std::to_string(input.ups) + " session lost";
            break;
        case CScriptedInput::Kind::Made:
            text += "UPS " + std::to_string(input.ups) + " session made";
            break;
        case CScriptedInput::Kind::Failed:
            text += "UPS " + std::to_string(input.ups) + " attempt failed";
            break;
        case CScriptedInput::Kind::Suspend:
            text += "suspended " + std::to_string(input.ms) + " ms";
            break;
        case CScriptedInput::Kind::Settings:
            text += "settings " + settings(input.settings);
            break;
        }
        text += "\n";
    }
    text += "  effects:";
    static const char* const names[] = {"succeed", "fail", "hang", "no-effect", "suspend"};
    for (const CEffectBehaviour& b : episode.behaviours)
        text += std::string(" ") + names[static_cast<int>(b.kind)] + "+" + std::to_string(b.delayMs);
    return text + "\n";
}

}  // namespace test
}  // namespace cvn
