// POSIX code only: the clock that goes on while the computer is suspended.
#include <ctime>

#include "resume.h"

namespace cvn {

std::uint32_t SuspendClock()
{
    timespec now = {};
#if defined(CLOCK_BOOTTIME)
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0)
#endif
        clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long ms =
        static_cast<unsigned long long>(now.tv_sec) * 1000u + static_cast<unsigned long long>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

}  // namespace cvn
