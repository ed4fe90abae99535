#pragma once

#include <chrono>
#include <cstddef>

namespace MUtils {

// The low-speed limit of an upload, in the manner of common transfer tools: while it is on, fewer
// than minBytesPerSecond over any whole period ends the transfer. The caller passes the time in,
// so the rule holds for any clock; one thread at a time.
class LowSpeedLimit {
public:
    using Clock = std::chrono::steady_clock;

    void start(std::size_t minBytesPerSecond, std::chrono::milliseconds period, Clock::time_point now);
    void stop() { m_on = false; }
    bool isOn() const { return m_on; }
    // Counts bytes that moved by now; false when the whole period that has passed was too slow.
    // A period that was fast enough starts the next one. Always true while off.
    bool progress(std::size_t bytes, Clock::time_point now);
    // When the next wait must end to check: the earlier of deadline and the end of the period.
    Clock::time_point nextCheck(Clock::time_point deadline) const;

private:
    bool m_on = false;
    std::size_t m_minBytesPerSecond = 0;
    std::chrono::milliseconds m_period{0};
    Clock::time_point m_periodStart;
    std::size_t m_periodBytes = 0;
};

} // namespace MUtils
