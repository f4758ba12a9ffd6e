// The performance counter on POSIX: the monotonic clock, in nanoseconds.
#include "platform/performance_counter.h"

#include <time.h>

namespace platform {

std::int64_t SystemPerformanceCounter::frequency() { return 1000000000; }

std::int64_t SystemPerformanceCounter::now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

}  // namespace platform
