// Natively: the wait for a program the client started (a notice's wall, the
// shutdown, an administrator's command). It sleeps on a descriptor of the
// process beside the stop request's, so that it wakes when the program ends
// or the stop comes, and not just to look.
#ifndef CVN_CHILD_WAIT_H
#define CVN_CHILD_WAIT_H

namespace cvn {

class CStopRequest;

// Sleeps until the child pid has ended (it is then ready to be reaped), ms
// have passed or stop is raised, whichever comes first. Where the kernel
// gives no descriptor for a process, it looks every 100 ms.
void SleepWhileRunning(int pid, unsigned long ms, const CStopRequest& stop);

}  // namespace cvn

#endif
