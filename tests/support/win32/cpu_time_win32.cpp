// Thread CPU time on Windows (kernel and user time, in 100 ns units).
#include "platform/win32/windows_api.h"
#include "tests/support/cpu_time.h"

double threadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME& f) {
        return double((ULONGLONG(f.dwHighDateTime) << 32) | f.dwLowDateTime) * 1e-7;
    };
    return seconds(kernel) + seconds(user);
}
