// Windows code only: the simulator's condition variable on Vista's. The
// programs are built for older Windows versions, whose headers do not
// declare it; the simulator is a test peer that runs under Wine.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#include "upssim/threads.h"

static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*), "a condition variable is one pointer");

namespace upssim {

CondVar::CondVar()
{
    InitializeConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&m_cv));
}

void CondVar::notify_all()
{
    WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&m_cv));
}

void CondVar::Wait(std::unique_lock<Mutex>& lock, DWORD ms)
{
    SleepConditionVariableCS(reinterpret_cast<PCONDITION_VARIABLE>(&m_cv), lock.mutex()->Native(), ms);
}

}  // namespace upssim
