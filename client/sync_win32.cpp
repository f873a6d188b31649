// Windows code only: locks, events and threads on the Win32 primitives that
// every Windows of the client's has.
#include "sync.h"

#include <process.h>

namespace cvn {

CLock::CLock()
{
    InitializeCriticalSection(&m_cs);
}

CLock::~CLock()
{
    DeleteCriticalSection(&m_cs);
}

void CLock::lock()
{
    EnterCriticalSection(&m_cs);
}

void CLock::unlock()
{
    LeaveCriticalSection(&m_cs);
}

CEvent::CEvent() : m_h(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

CEvent::~CEvent()
{
    if (m_h)
        CloseHandle(m_h);
}

void CEvent::Set()
{
    m_bSet = true;
    SetEvent(m_h);
}

void CEvent::Reset()
{
    m_bSet = false;
    ResetEvent(m_h);
}

bool CEvent::Wait(unsigned long milliseconds) const
{
    return IsSet() || WaitForSingleObject(m_h, milliseconds) == WAIT_OBJECT_0;
}

int CEvent::WaitEither(const CEvent& first, const CEvent& second, unsigned long milliseconds)
{
    HANDLE handles[2] = {first.m_h, second.m_h};
    const DWORD result = WaitForMultipleObjects(2, handles, FALSE, milliseconds);
    if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1)
        return static_cast<int>(result - WAIT_OBJECT_0);
    return -1;
}

namespace {

struct CThreadStart {
    void (*body)(void*);
    void* argument;
};

unsigned __stdcall RunThread(void* start)
{
    CThreadStart copy = *static_cast<CThreadStart*>(start);
    delete static_cast<CThreadStart*>(start);
    copy.body(copy.argument);
    return 0;
}

}  // namespace

bool StartDetachedThread(void (*body)(void*), void* argument)
{
    // _beginthreadex, not CreateThread: the C runtime sets up its own data
    // for the thread. It hands the id pointer on to CreateThread, which on
    // Windows 95/98 fails when that pointer is null.
    CThreadStart* start = new CThreadStart{body, argument};
    unsigned threadId = 0;
    const uintptr_t thread = _beginthreadex(nullptr, 0, RunThread, start, 0, &threadId);
    if (thread == 0) {
        delete start;
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

}  // namespace cvn
