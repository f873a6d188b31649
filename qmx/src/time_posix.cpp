// POSIX code only: the monotonic clock as a 32-bit millisecond tick count,
// and the sleep.
#include "qmx/time.h"

#include <cerrno>
#include <ctime>

#include "tick.h"

namespace qmx {

std::uint32_t CurrentTick()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Truncated like GetTickCount, so that it wraps the same way.
    const unsigned long long ms =
        static_cast<unsigned long long>(now.tv_sec) * 1000u + static_cast<unsigned long long>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void SleepMillSec(unsigned long milliseconds)
{
    timespec remaining = {};
    remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    // A signal must not cut the sleep short.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace qmx
