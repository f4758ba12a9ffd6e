// CPrecisionTimer: the microsecond waits of the bus handshake, by busy-waiting on a counter.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/performance_counter.h"

class CPrecisionTimer {
public:
    CPrecisionTimer();  // the system's counter
    explicit CPrecisionTimer(platform::PerformanceCounter& counter);  // not owned
    virtual ~CPrecisionTimer() = default;
    CPrecisionTimer(const CPrecisionTimer&) = delete;
    CPrecisionTimer& operator=(const CPrecisionTimer&) = delete;

    // Never sleeps or yields: the emulation thread keeps the bus timing this way.
    void delayMicroseconds(std::uint32_t microseconds);

private:
    std::unique_ptr<platform::PerformanceCounter> own_;
    platform::PerformanceCounter& counter_;
    std::int64_t frequency_;
};
