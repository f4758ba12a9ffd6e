// Performance counter: the high-resolution clock of the bus delays, injectable for tests.
#pragma once

#include <cstdint>

namespace platform {

class PerformanceCounter {
public:
    virtual ~PerformanceCounter() = default;
    // Ticks per second; 0 when the system has no such counter.
    virtual std::int64_t frequency() = 0;
    // The current tick count; it never decreases.
    virtual std::int64_t now() = 0;
};

// QueryPerformanceCounter on Windows, the monotonic clock in nanoseconds elsewhere.
class SystemPerformanceCounter final : public PerformanceCounter {
public:
    std::int64_t frequency() override;
    std::int64_t now() override;
};

}  // namespace platform
