// Windows code only: the std::mutex and std::condition_variable that
// GoogleTest's headers name. The Windows builds use the compiler's win32
// thread model (its posix one would make the deliverables need Vista), which
// has neither; GoogleTest and every test program get these through a forced
// include. Only GoogleTest's own thread helpers use them, which the tests do
// not: a spin lock and a polling condition are enough, and they keep
// windows.h (and its macros) out of every test source.
#ifndef CVN_GTEST_THREADS_WIN32_H
#define CVN_GTEST_THREADS_WIN32_H

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace std {

class mutex {
public:
    mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;
    void lock()
    {
        while (m_held.test_and_set(memory_order_acquire))
            this_thread::sleep_for(chrono::milliseconds(1));
    }
    void unlock() { m_held.clear(memory_order_release); }

private:
    atomic_flag m_held = ATOMIC_FLAG_INIT;
};

class condition_variable {
public:
    void notify_one() {}
    void notify_all() {}
    template <typename Predicate>
    void wait(unique_lock<mutex>& lock, Predicate ready)
    {
        while (!ready()) {
            lock.unlock();
            this_thread::sleep_for(chrono::milliseconds(1));
            lock.lock();
        }
    }
};

}  // namespace std

#endif
