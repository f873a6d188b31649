#include "effects.h"

#include <mutex>

#include "sync.h"

namespace cvn {

struct CEffects::CShared {
    std::function<void()> wake;
    CLock lock;
    std::vector<CEffectOutcome> outcomes;
    // Set once the notice before the next one has been handed over.
    std::shared_ptr<CEvent> lastNotice;

    void Give(const CEffectOutcome& outcome)
    {
        {
            std::lock_guard<CLock> hold(lock);
            outcomes.push_back(outcome);
        }
        wake();
    }
};

namespace {

// The longest a notice waits for the one before it: what one may take.
const unsigned long kNoticeQueueMs = 10000;

struct CJob {
    std::shared_ptr<CEffects::CShared> shared;
    std::function<void()> notice;
    std::shared_ptr<CEvent> before;
    std::shared_ptr<CEvent> done;
    std::uint32_t id = 0;
    std::function<bool(CEffectOutcome&)> step;
};

void RunJob(void* argument)
{
    std::unique_ptr<CJob> job(static_cast<CJob*>(argument));
    if (job->notice) {
        if (job->before)
            job->before->Wait(kNoticeQueueMs);
        job->notice();
        job->done->Set();
        {
            // Nothing waits on a notice handed over: its event (natively a
            // pair of descriptors) is let go.
            std::lock_guard<CLock> hold(job->shared->lock);
            if (job->shared->lastNotice == job->done)
                job->shared->lastNotice.reset();
        }
        job->before.reset();
        CEffectOutcome outcome;
        outcome.kind = CEpisodeOutput::Kind::Notice;
        outcome.id = job->id;
        job->shared->Give(outcome);
        return;
    }
    CEffectOutcome outcome;
    if (job->step(outcome))
        job->shared->Give(outcome);
}

void Start(CJob* job)
{
    // Without a thread of its own it runs here, as it always did.
    if (!StartDetachedThread(RunJob, job))
        RunJob(job);
}

}  // namespace

CEffects::CEffects(std::function<void()> wake) : m_pShared(std::make_shared<CShared>())
{
    m_pShared->wake = std::move(wake);
}

void CEffects::Notice(std::uint32_t id, bool last, std::function<void()> work)
{
    auto* job = new CJob;
    job->shared = m_pShared;
    job->notice = std::move(work);
    job->id = id;
    job->done = std::make_shared<CEvent>();
    {
        std::lock_guard<CLock> hold(m_pShared->lock);
        if (!last)
            job->before = m_pShared->lastNotice;
        m_pShared->lastNotice = job->done;
    }
    Start(job);
}

void CEffects::Step(std::function<bool(CEffectOutcome&)> work)
{
    auto* job = new CJob;
    job->shared = m_pShared;
    job->step = std::move(work);
    Start(job);
}

std::vector<CEffectOutcome> CEffects::Take()
{
    std::vector<CEffectOutcome> outcomes;
    std::lock_guard<CLock> hold(m_pShared->lock);
    outcomes.swap(m_pShared->outcomes);
    return outcomes;
}

}  // namespace cvn
