// Windows code only: the clock that goes on while the computer is suspended.
#include "platform.h"
#include "resume.h"

namespace cvn {

std::uint32_t SuspendClock()
{
    // The tick count goes on through sleep and hibernation.
    return GetTickCount();
}

}  // namespace cvn
