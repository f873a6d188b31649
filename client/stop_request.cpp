#include "stop_request.h"

#include <chrono>

namespace cvn {

void CStopRequest::Raise()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRaised = true;
    m_raised.notify_all();
}

bool CStopRequest::Sleep(unsigned long milliseconds) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_raised.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_bRaised.load(); });
}

}  // namespace cvn
