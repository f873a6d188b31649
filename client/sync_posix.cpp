// POSIX code only: locks and threads on pthreads; an event is a pipe that
// holds one byte while it is set, so that poll can wait for it beside a
// socket or a program.
#include "sync.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "stop_request.h"

namespace cvn {

CLock::CLock()
{
    pthread_mutex_init(&m_mutex, nullptr);
}

CLock::~CLock()
{
    pthread_mutex_destroy(&m_mutex);
}

void CLock::lock()
{
    pthread_mutex_lock(&m_mutex);
}

void CLock::unlock()
{
    pthread_mutex_unlock(&m_mutex);
}

CEvent::CEvent()
{
    if (pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0)
        m_fds[0] = m_fds[1] = -1;
}

CEvent::~CEvent()
{
    if (m_fds[0] >= 0) {
        close(m_fds[0]);
        close(m_fds[1]);
    }
}

void CEvent::Set()
{
    if (m_bSet.exchange(true))
        return;
    const char one = 1;
    while (write(m_fds[1], &one, 1) < 0 && errno == EINTR) {
    }
}

void CEvent::Reset()
{
    if (!m_bSet.exchange(false))
        return;
    char byte;
    while (read(m_fds[0], &byte, 1) < 0 && errno == EINTR) {
    }
}

namespace {

// poll on the descriptors for the time given, whatever signals come.
int PollAll(pollfd* fds, nfds_t count, unsigned long milliseconds)
{
    const CWaitTime time(milliseconds);
    for (;;) {
        const unsigned long left = time.Left();
        const int result = poll(fds, count, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

}  // namespace

bool CEvent::Wait(unsigned long milliseconds) const
{
    if (IsSet())
        return true;
    pollfd fd = {m_fds[0], POLLIN, 0};
    return PollAll(&fd, 1, milliseconds) > 0 || IsSet();
}

int CEvent::WaitEither(const CEvent& first, const CEvent& second, unsigned long milliseconds)
{
    pollfd fds[2] = {{first.m_fds[0], POLLIN, 0}, {second.m_fds[0], POLLIN, 0}};
    if (PollAll(fds, 2, milliseconds) > 0) {
        if (fds[0].revents)
            return 0;
        if (fds[1].revents)
            return 1;
    }
    return first.IsSet() ? 0 : second.IsSet() ? 1 : -1;
}

namespace {

struct CThreadStart {
    void (*body)(void*);
    void* argument;
};

void* RunThread(void* start)
{
    CThreadStart copy = *static_cast<CThreadStart*>(start);
    delete static_cast<CThreadStart*>(start);
    copy.body(copy.argument);
    return nullptr;
}

}  // namespace

bool StartDetachedThread(void (*body)(void*), void* argument)
{
    CThreadStart* start = new CThreadStart{body, argument};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, RunThread, start) != 0) {
        delete start;
        return false;
    }
    pthread_detach(thread);
    return true;
}

}  // namespace cvn
