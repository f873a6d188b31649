// POSIX code only: the wait for a child process on its process descriptor.
#include "child_wait.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "stop_request.h"

namespace cvn {

void SleepWhileRunning(int pid, unsigned long ms, const CStopRequest& stop)
{
    const unsigned long kLookMs = 100;
    const int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (process < 0)
        ms = std::min(ms, kLookMs);
    pollfd fds[2] = {{process, POLLIN, 0}, {stop.Event().Descriptor(), POLLIN, 0}};
    while (poll(fds, 2, static_cast<int>(std::min<unsigned long>(ms, INT_MAX))) < 0 && errno == EINTR) {
    }
    if (process >= 0)
        close(process);
}

}  // namespace cvn
