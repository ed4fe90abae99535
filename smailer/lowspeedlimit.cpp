#include "smailer/lowspeedlimit.h"

namespace MUtils {

void LowSpeedLimit::start(std::size_t minBytesPerSecond, std::chrono::milliseconds period, Clock::time_point now)
{
    m_on = true;
    m_minBytesPerSecond = minBytesPerSecond;
    m_period = period;
    m_periodStart = now;
    m_periodBytes = 0;
}

bool LowSpeedLimit::progress(std::size_t bytes, Clock::time_point now)
{
    if (!m_on)
        return true;
    m_periodBytes += bytes;
    if (now - m_periodStart < m_period)
        return true;
    const auto seconds = std::chrono::duration<double>(now - m_periodStart).count();
    if (static_cast<double>(m_periodBytes) < static_cast<double>(m_minBytesPerSecond) * seconds)
        return false;
    m_periodStart = now;
    m_periodBytes = 0;
    return true;
}

LowSpeedLimit::Clock::time_point LowSpeedLimit::nextCheck(Clock::time_point deadline) const
{
    if (!m_on)
        return deadline;
    const Clock::time_point periodEnd = m_periodStart + m_period;
    return periodEnd < deadline ? periodEnd : deadline;
}

} // namespace MUtils
