// The performance counter on Windows.
#include "platform/performance_counter.h"

#include "platform/win32/windows_api.h"

namespace platform {

std::int64_t SystemPerformanceCounter::frequency() {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);  // cannot fail on XP and later; 0 means no counter
    return f.QuadPart;
}

std::int64_t SystemPerformanceCounter::now() {
    LARGE_INTEGER c{};
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

}  // namespace platform
