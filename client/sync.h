// The client's threads, locks and events, on the system's own primitives:
// Win32 on Windows (the compiler's thread runtime would need Vista), pthreads
// and a pipe natively. An event is also what a socket or program wait can
// end on, so that a stop request wakes a wait at once instead of being looked
// at in slices.
#ifndef CVN_SYNC_H
#define CVN_SYNC_H

#include <atomic>

#include "platform.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace cvn {

// A lock for std::lock_guard / std::unique_lock.
class CLock {
public:
    CLock();
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;
    void lock();
    void unlock();

private:
#if defined(_WIN32)
    CRITICAL_SECTION m_cs;
#else
    pthread_mutex_t m_mutex;
#endif
};

// A manual-reset event: once set, every wait on it ends until it is reset.
class CEvent {
public:
    CEvent();
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    void Set();
    void Reset();
    bool IsSet() const { return m_bSet.load(); }
    // Waits at most milliseconds for the event; true when it is set.
    bool Wait(unsigned long milliseconds) const;
    // Waits at most milliseconds for either event; 0 or 1 for the one that
    // is set (the first when both are), -1 when the time passed.
    static int WaitEither(const CEvent& first, const CEvent& second, unsigned long milliseconds);

#if defined(_WIN32)
    HANDLE Handle() const { return m_h; }
#else
    // Readable while the event is set: for poll beside a socket or a program.
    int Descriptor() const { return m_fds[0]; }
#endif

private:
    std::atomic<bool> m_bSet{false};
#if defined(_WIN32)
    HANDLE m_h;
#else
    int m_fds[2];
#endif
};

// Runs body(argument) on a thread of its own that nobody waits for; false
// when the system could not start one.
bool StartDetachedThread(void (*body)(void*), void* argument);

}  // namespace cvn

#endif
