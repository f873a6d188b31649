// The simulator's thread, lock and condition. Natively they are the standard
// library's; the Windows programs are built with the compiler's win32 thread
// model, which has none, so there they are thin classes on the system's own
// (the simulator is a test peer: what Vista brought is fine here).
#ifndef UPSSIM_THREADS_H
#define UPSSIM_THREADS_H

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <condition_variable>
#include <thread>
#endif

namespace upssim {

#if defined(_WIN32)

class Mutex {
public:
    Mutex() { InitializeCriticalSection(&m_cs); }
    ~Mutex() { DeleteCriticalSection(&m_cs); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() { EnterCriticalSection(&m_cs); }
    void unlock() { LeaveCriticalSection(&m_cs); }
    CRITICAL_SECTION* Native() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

// Vista's condition variable; threads_win32.cpp holds the calls, so that
// the programs that include this header need not ask for Vista themselves.
class CondVar {
public:
    CondVar();
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;
    void notify_all();
    template <typename Rep, typename Period>
    void wait_for(std::unique_lock<Mutex>& lock, std::chrono::duration<Rep, Period> time)
    {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time).count();
        Wait(lock, ms > 0 ? static_cast<DWORD>(ms) : 0);
    }
    template <typename Predicate>
    void wait(std::unique_lock<Mutex>& lock, Predicate ready)
    {
        while (!ready())
            Wait(lock, INFINITE);
    }

private:
    void Wait(std::unique_lock<Mutex>& lock, DWORD ms);
    void* m_cv = nullptr;  // a CONDITION_VARIABLE: one pointer
};

class Thread {
public:
    Thread() = default;
    explicit Thread(std::function<void()> body) : m_body(new std::function<void()>(std::move(body)))
    {
        m_h = CreateThread(nullptr, 0, Run, m_body.get(), 0, nullptr);
    }
    Thread(Thread&& other) noexcept : m_h(other.m_h), m_body(std::move(other.m_body)) { other.m_h = nullptr; }
    Thread& operator=(Thread&& other) noexcept
    {
        std::swap(m_h, other.m_h);
        std::swap(m_body, other.m_body);
        return *this;
    }
    ~Thread()
    {
        if (m_h)
            CloseHandle(m_h);
    }
    bool joinable() const { return m_h != nullptr; }
    void join()
    {
        WaitForSingleObject(m_h, INFINITE);
        CloseHandle(m_h);
        m_h = nullptr;
    }

private:
    static DWORD WINAPI Run(LPVOID body)
    {
        (*static_cast<std::function<void()>*>(body))();
        return 0;
    }
    HANDLE m_h = nullptr;
    std::unique_ptr<std::function<void()>> m_body;
};

#else

using Mutex = std::mutex;
using CondVar = std::condition_variable;
using Thread = std::thread;

#endif

}  // namespace upssim

#endif
