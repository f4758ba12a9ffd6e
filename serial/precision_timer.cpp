// CPrecisionTimer.
#include "serial/precision_timer.h"

CPrecisionTimer::CPrecisionTimer()
    : own_(std::make_unique<platform::SystemPerformanceCounter>()),
      counter_(*own_),
      frequency_(counter_.frequency()) {}

CPrecisionTimer::CPrecisionTimer(platform::PerformanceCounter& counter)
    : counter_(counter), frequency_(counter.frequency()) {}

void CPrecisionTimer::delayMicroseconds(std::uint32_t microseconds) {
    const std::int64_t start = counter_.now();
    const std::int64_t ticks = frequency_ * std::int64_t{microseconds} / 1000000;
    const std::int64_t target = start + ticks;
    if (start >= target) return;
    while (counter_.now() < target) {
    }
}
