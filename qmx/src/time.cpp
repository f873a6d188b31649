// The exported time functions over the platform's clock and the one timer.
#include "qmx/time.h"

#include "tick.h"

namespace qmx {

namespace {

CTickTimer theSystemTimer;

}  // namespace

unsigned long GetMillSecCount()
{
    return CurrentTick();
}

void SetSystemTimer(unsigned long milliseconds)
{
    theSystemTimer.Set(CurrentTick(), milliseconds);
}

bool HasSystemTimerExpired()
{
    return theSystemTimer.HasExpired(CurrentTick());
}

}  // namespace qmx
