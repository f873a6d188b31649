// The millisecond clock, the sleep and the one process-wide deadline timer
// of the support library.
#ifndef QMX_TIME_H
#define QMX_TIME_H

#include "qmx/export.h"

namespace qmx {

// Milliseconds since the system started, as an unsigned 32-bit count that
// wraps to 0 after 2^32 ms (about 49.7 days). Natively: the monotonic clock,
// truncated to 32 bits the same way.
QMX_API unsigned long GetMillSecCount();

// Suspends the calling thread only.
QMX_API void SleepMillSec(unsigned long milliseconds);

// Sets the process's one deadline to now + milliseconds; the last call wins.
// Intervals up to 2^31 - 1 ms (about 24.8 days) are measured correctly,
// also across the wrap of the tick count.
QMX_API void SetSystemTimer(unsigned long milliseconds);

// True once the tick count lies after the deadline (still false during the
// deadline's own millisecond). Before any SetSystemTimer the timer reads as
// expired as soon as the tick count is above 0.
QMX_API bool HasSystemTimerExpired();

}  // namespace qmx

#endif
