// What the episode asks for, carried out beside the monitor: each notice
// and each shutdown step on a thread of its own, its outcome handed back to
// the monitor, which it wakes. Nothing here holds the monitor: a hung
// notice or a command that blocks through a suspension leaves it free to
// see the power return, or the suspension in its own waits.
#ifndef CVN_EFFECTS_H
#define CVN_EFFECTS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "policy/episode.h"

namespace cvn {

struct CEffectOutcome {
    CEpisodeOutput::Kind kind;  // Notice, BeforeShutdown, Action or Request
    std::uint32_t id = 0;
    bool taken = false;                         // Request
    ActionOutcome action = ActionOutcome::Failed;  // Action
    std::string detail;
    std::uint32_t suspendedMs = 0;
};

class CEffects {
public:
    // wake is called from the effects' threads after each outcome.
    explicit CEffects(std::function<void()> wake);
    CEffects(const CEffects&) = delete;
    CEffects& operator=(const CEffects&) = delete;

    // A notice: the notices go one after the other, except the last one
    // ("shuting down now"), which starts at once.
    void Notice(std::uint32_t id, bool last, std::function<void()> work);
    // A shutdown step; work gives its outcome (none when it returns false:
    // the stop ended it).
    void Step(std::function<bool(CEffectOutcome&)> work);
    std::vector<CEffectOutcome> Take();

    struct CShared;

private:
    std::shared_ptr<CShared> m_pShared;
};

}  // namespace cvn

#endif
