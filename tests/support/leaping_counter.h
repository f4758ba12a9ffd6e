// A performance counter whose every reading is a second later: each of the responder's
// 1500 us waits before COMPLETE ends at its first look, so that benchmarks and fuzzing pay
// nothing for it.
#pragma once

#include <cstdint>

#include "platform/performance_counter.h"

class LeapingCounter final : public platform::PerformanceCounter {
public:
    std::int64_t frequency() override { return 1000000; }
    std::int64_t now() override { return value_ += 1000000; }

private:
    std::int64_t value_ = 0;
};
