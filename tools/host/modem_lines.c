/* The modem-line shim: a test-only LD_PRELOAD library that gives one pseudo-terminal modem
 * lines, so that Wine's serial code can see a ring indicator change on it.
 *
 * The pty is named by VANDREL_MODEM_PTY (its slave path) and recognised by device number, so
 * any descriptor Wine holds for it qualifies. For that pty only, the shim answers TIOCMGET,
 * TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCGICOUNT and TIOCMIWAIT from the record named by
 * VANDREL_MODEM_STATE (modem_lines.h), which the test's side of the bus maps and changes.
 * Every other descriptor and every other request goes to the kernel untouched.
 *
 * 64-bit programs reach the kernel through ioctl; 32-bit ones built with 64-bit time (Wine's
 * i386 ntdll.so among them) through __ioctl_time64. Both are answered. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "modem_lines.h"

#define EXPORT __attribute__((visibility("default")))

typedef int (*ioctl_fn)(int, unsigned long, ...);

static pthread_once_t once = PTHREAD_ONCE_INIT;
static ioctl_fn real_ioctl;
static ioctl_fn real_ioctl_time64;
static dev_t pty_rdev;
static int enabled;
static int tracing;
static struct vandrel_modem_state *state;

#define INPUT_LINES (TIOCM_RNG | TIOCM_CAR | TIOCM_DSR | TIOCM_CTS)
#define OUTPUT_LINES (TIOCM_DTR | TIOCM_RTS)

static uint32_t load(const uint32_t *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
static void count(enum vandrel_modem_call call)
{
    __atomic_fetch_add(&state->calls[call], 1, __ATOMIC_RELAXED);
}

static void complain(const char *what)
{
    /* Once per process: the test then sees error 50 from Wine and this line in its log. */
    dprintf(2, "modem_lines: %s; the pty is left without modem lines\n", what);
}

static void init(void)
{
    real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    real_ioctl_time64 = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");

    const char *pty = getenv(VANDREL_MODEM_PTY_ENV);
    const char *path = getenv(VANDREL_MODEM_STATE_ENV);
    const char *trace = getenv(VANDREL_MODEM_TRACE_ENV);
    tracing = trace && strcmp(trace, "1") == 0;
    if (!pty || !*pty || !path || !*path)
        return;

    struct stat st;
    if (stat(pty, &st) != 0 || !S_ISCHR(st.st_mode)) {
        complain("the pty named by " VANDREL_MODEM_PTY_ENV " is not a character device");
        return;
    }
    pty_rdev = st.st_rdev;

    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        complain("cannot open the record named by " VANDREL_MODEM_STATE_ENV);
        return;
    }
    void *map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= (off_t)sizeof(struct vandrel_modem_state))
        map = mmap(NULL, sizeof(struct vandrel_modem_state), PROT_READ | PROT_WRITE, MAP_SHARED,
                   fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        complain("cannot map the record named by " VANDREL_MODEM_STATE_ENV);
        return;
    }
    state = map;
    if (load(&state->magic) != VANDREL_MODEM_MAGIC || state->version != VANDREL_MODEM_VERSION) {
        complain("the record named by " VANDREL_MODEM_STATE_ENV " is not a modem-line record");
        munmap(map, sizeof(struct vandrel_modem_state));
        state = NULL;
        return;
    }
    enabled = 1;
}

static int is_pty(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == pty_rdev;
}

static int pass(ioctl_fn real, int fd, unsigned long request, void *arg)
{
    if (real)
        return real(fd, request, arg);
    return (int)syscall(SYS_ioctl, fd, request, arg);
}

static int fail(int error)
{
    errno = error;
    return -1;
}

static void set_outputs(unsigned long request, uint32_t bits)
{
    bits &= OUTPUT_LINES;
    if (request == TIOCMSET)
        __atomic_store_n(&state->outputs, bits, __ATOMIC_RELEASE);
    else if (request == TIOCMBIS)
        __atomic_fetch_or(&state->outputs, bits, __ATOMIC_ACQ_REL);
    else
        __atomic_fetch_and(&state->outputs, ~bits, __ATOMIC_ACQ_REL);
    __atomic_fetch_add(&state->output_writes, 1, __ATOMIC_ACQ_REL);
}

/* The transition counts of the input lines in mask, added up: TIOCMIWAIT returns when this
 * sum moves. */
static uint32_t transitions(unsigned long mask)
{
    uint32_t sum = 0;
    if (mask & TIOCM_RNG) sum += load(&state->rng);
    if (mask & TIOCM_DSR) sum += load(&state->dsr);
    if (mask & TIOCM_CAR) sum += load(&state->dcd);
    if (mask & TIOCM_CTS) sum += load(&state->cts);
    return sum;
}

/* Returns 1 when answered (result in *result), 0 when the request is not one of ours. */
static int answer(int fd, unsigned long request, void *arg, int *result)
{
    enum vandrel_modem_call call;
    switch (request) {
    case TIOCMGET: call = VANDREL_CALL_TIOCMGET; break;
    case TIOCMSET: call = VANDREL_CALL_TIOCMSET; break;
    case TIOCMBIS: call = VANDREL_CALL_TIOCMBIS; break;
    case TIOCMBIC: call = VANDREL_CALL_TIOCMBIC; break;
    case TIOCGICOUNT: call = VANDREL_CALL_TIOCGICOUNT; break;
    case TIOCMIWAIT: call = VANDREL_CALL_TIOCMIWAIT; break;
    default: return 0;
    }
    if (!is_pty(fd))
        return 0;
    /* TIOCMIWAIT's baseline comes before the count: a peer that waits for the count and then
     * changes a line must not change it before the baseline is taken. */
    uint32_t baseline = request == TIOCMIWAIT ? transitions((unsigned long)arg) : 0;
    count(call);

    switch (request) {
    case TIOCMGET:
        if (!arg) { *result = fail(EFAULT); break; }
        *(int *)arg = (int)((load(&state->inputs) & INPUT_LINES) |
                            (load(&state->outputs) & OUTPUT_LINES));
        *result = 0;
        break;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        if (!arg) { *result = fail(EFAULT); break; }
        set_outputs(request, (uint32_t) * (const int *)arg);
        *result = 0;
        break;
    case TIOCGICOUNT: {
        if (!arg) { *result = fail(EFAULT); break; }
        struct serial_icounter_struct counts;
        memset(&counts, 0, sizeof counts);
        counts.cts = (int)load(&state->cts);
        counts.dsr = (int)load(&state->dsr);
        counts.rng = (int)load(&state->rng);
        counts.dcd = (int)load(&state->dcd);
        memcpy(arg, &counts, sizeof counts);
        *result = 0;
        break;
    }
    case TIOCMIWAIT: {
        /* The mask is the argument itself. Waits like the kernel does, without a time
         * limit; the peer's edges end it. */
        unsigned long mask = (unsigned long)arg;
        if (!(mask & INPUT_LINES)) { *result = fail(EINVAL); break; }
        const struct timespec step = {0, 100 * 1000};
        while (transitions(mask) == baseline)
            nanosleep(&step, NULL);
        *result = 0;
        break;
    }
    }
    return 1;
}

static void trace(int fd, unsigned long request, const char *how, int result, int error)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    dprintf(2, "modem_lines: %ld.%06ld pid %d tid %ld fd %d request 0x%lx %s -> %d%s%s\n",
            (long)now.tv_sec, now.tv_nsec / 1000, (int)getpid(), (long)syscall(SYS_gettid), fd,
            request, how, result, result < 0 ? " " : "", result < 0 ? strerror(error) : "");
}

static int dispatch(ioctl_fn real, int fd, unsigned long request, void *arg)
{
    int result = 0;
    if (enabled && answer(fd, request, arg, &result)) {
        if (tracing)
            trace(fd, request, "answered", result, 0);
        return result;
    }
    if (enabled && is_pty(fd)) {
        count(VANDREL_CALL_OTHER);
        int saved;
        result = pass(real, fd, request, arg);
        saved = errno;
        if (tracing)
            trace(fd, request, "passed", result, saved);
        errno = saved;
        return result;
    }
    return pass(real, fd, request, arg);
}

static void *argument(va_list args)
{
    /* Every request we answer takes a pointer or a pointer-sized integer. */
    return va_arg(args, void *);
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = argument(args);
    va_end(args);
    pthread_once(&once, init);
    return dispatch(real_ioctl, fd, request, arg);
}

EXPORT int __ioctl_time64(int fd, unsigned long request, ...);
EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = argument(args);
    va_end(args);
    pthread_once(&once, init);
    return dispatch(real_ioctl_time64 ? real_ioctl_time64 : real_ioctl, fd, request, arg);
}
