// Thread CPU time on POSIX.
#include <time.h>

#include "tests/support/cpu_time.h"

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
