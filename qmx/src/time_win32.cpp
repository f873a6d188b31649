// Windows code only: the system's tick count and sleep.
#include "qmx/time.h"

#include <windows.h>

#include "tick.h"

namespace qmx {

std::uint32_t CurrentTick()
{
    return GetTickCount();
}

void SleepMillSec(unsigned long milliseconds)
{
    Sleep(milliseconds);
}

}  // namespace qmx
