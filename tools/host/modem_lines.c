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
 * i386 ntdll.so among them) through __ioctl_time64. Both are answered.
 *
 * It also passes read(), write() and pthread_create() on: it counts the reads and writes made
 * on the pty and keeps the record's account of the program's waits (modem_lines.h), so that
 * the peer can tell when a wait armed after a given write is being watched, and when no
 * WaitCommEvent call is under way; and it can hold a thread arming a wait or a waiting thread
 * that has completed its wait, for a peer that makes Wine's threads meet in a given order. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "modem_lines.h"

#define EXPORT __attribute__((visibility("default")))

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*writev_fn)(int, const struct iovec *, int);
typedef int (*pthread_create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

static pthread_once_t once = PTHREAD_ONCE_INIT;
static ioctl_fn real_ioctl;
static ioctl_fn real_ioctl_time64;
static write_fn real_write;
static read_fn real_read;
static writev_fn real_writev;
static pthread_create_fn real_pthread_create;
static dev_t pty_rdev;
static int enabled;
static int tracing;
static struct vandrel_modem_state *state;

#define INPUT_LINES (TIOCM_RNG | TIOCM_CAR | TIOCM_DSR | TIOCM_CTS)
#define OUTPUT_LINES (TIOCM_DTR | TIOCM_RTS)

/* What a thread is to the record: a waiting thread from its birth, else a program thread. */
enum thread_role { ROLE_UNSEEN, ROLE_WAITING, ROLE_PROGRAM };
static __thread enum thread_role thread_role;
/* A program thread's requests to the Wine server since it started a waiting thread; -1 when
 * it is not counting. */
static __thread int requests_since_start = -1;
/* A waiting thread's wait (its number), the input lines when that wait was armed, and whether
 * it has seen them change (its wait is then complete). */
static __thread uint32_t waiter_wait;
static __thread uint32_t waiter_start_inputs;
static __thread int waiter_saw_change;
static __thread uint32_t waiter_requests; /* its requests to the server since it saw it */

static uint32_t load(const uint32_t *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
static void store(uint32_t *p, uint32_t value) { __atomic_store_n(p, value, __ATOMIC_RELEASE); }
static void add(uint32_t *p) { __atomic_fetch_add(p, 1, __ATOMIC_ACQ_REL); }
static void count(enum vandrel_modem_call call)
{
    __atomic_fetch_add(&state->calls[call], 1, __ATOMIC_RELAXED);
}

/* A thread that Wine started from inside WaitCommEvent is a waiting thread from its birth
 * (pthread_create below); every other thread is a program thread, also when its first request
 * is the TIOCGICOUNT of a WaitCommEvent, as in a server that sets its port up on one thread
 * and waits on another. */
static enum thread_role role_of(void)
{
    if (thread_role == ROLE_UNSEEN) {
        /* Only the process that uses the pty: Wine's server, say, inherits the shim too. */
        store(&state->program_pid, (uint32_t)getpid());
        thread_role = ROLE_PROGRAM;
    }
    return thread_role;
}

/* A program thread's TIOCGICOUNT arms a wait; a waiting thread's is one round of polling. The
 * arm's fields are stored before its count, and the poll count is cleared first of all, so a
 * peer that reads arm_transfers and then polls_since_arm never pairs a new arm with the polls
 * of the wait before it. */
static void account_icount(enum thread_role role)
{
    if (role == ROLE_WAITING) {
        /* Its first poll comes before its wait can end, so before the next arming. */
        if (!waiter_wait) {
            waiter_wait = load(&state->watch_arms);
            waiter_start_inputs = load(&state->arm_inputs);
        }
        add(&state->polls_since_arm);
        return;
    }
    requests_since_start = -1;
    uint32_t inputs = __atomic_fetch_or(&state->inputs, VANDREL_MODEM_ARMING, __ATOMIC_ACQ_REL);
    store(&state->polls_since_arm, 0);
    store(&state->arm_inputs, inputs & INPUT_LINES);
    store(&state->arm_transfers, load(&state->transfers));
    store(&state->arm_writes, load(&state->writes));
    add(&state->watch_arms);
}

static void trace(int fd, unsigned long request, const char *how, long result, int error);

/* Wine runs its signal handlers on the thread's alternate signal stack. A thread inside
 * WaitCommEvent may be interrupted (SIGUSR1) to run system APCs, such as the completion of a
 * read in flight, which reads the pty and talks to the server: none of that means the call
 * has returned. */
static int in_signal_handler(void)
{
    stack_t stack;
    return sigaltstack(NULL, &stack) == 0 && (stack.ss_flags & SS_ONSTACK);
}

/* Holds this thread when the peer has asked for it (state) at this wait. */
static void hold_if_asked(uint32_t *hold, uint32_t *wait, uint32_t this_wait, const char *what)
{
    uint32_t asked = VANDREL_MODEM_HOLD_ASKED;
    if (load(wait) != this_wait ||
        !__atomic_compare_exchange_n(hold, &asked, VANDREL_MODEM_HOLD_CLAIMED, 0, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return;
    /* The thread id first: a peer that sees the hold must find whose it is. A peer that
     * released the hold meanwhile gets no hold. */
    store(&state->held_tid, (uint32_t)syscall(SYS_gettid));
    uint32_t claimed = VANDREL_MODEM_HOLD_CLAIMED;
    if (!__atomic_compare_exchange_n(hold, &claimed, VANDREL_MODEM_HOLD_HOLDING, 0, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return;
    if (tracing)
        trace(-1, 0, what, 0, 0);
    const struct timespec step = {0, 100 * 1000};
    while (load(hold) == VANDREL_MODEM_HOLD_HOLDING)
        nanosleep(&step, NULL);
}

static void end_arming(const char *why)
{
    if (!(load(&state->inputs) & VANDREL_MODEM_ARMING))
        return;
    if (in_signal_handler())
        return;
    requests_since_start = -1;
    __atomic_fetch_and(&state->inputs, ~VANDREL_MODEM_ARMING, __ATOMIC_ACQ_REL);
    if (tracing)
        trace(-1, 0, why, 0, 0);
}

/* A program thread's read or write on the pty: whatever wait it armed has been armed (unless
 * the thread is in a signal handler). */
static void account_transfer(uint32_t *counter)
{
    if (role_of() != ROLE_PROGRAM)
        return;
    end_arming(counter == &state->reads ? "arming ends (a read)" : "arming ends (a write)");
    if (counter == &state->writes) {
        /* The slot before the count: a peer that sees the write counted finds its time. */
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint32_t us = (uint32_t)((uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u);
        store(&state->write_us[load(&state->writes) % VANDREL_MODEM_WRITE_TIMES], us);
    }
    add(counter);
    add(&state->transfers);
}

/* A write to anything but the pty: from a program thread that has started a waiting thread,
 * a request to the Wine server, which counts when not made from a signal handler. */
static void account_request(void)
{
    if (thread_role == ROLE_WAITING) {
        if (waiter_saw_change && ++waiter_requests == load(&state->hold_completion_request))
            hold_if_asked(&state->hold_completion, &state->hold_completion_wait, waiter_wait,
                          "held: a waiting thread that has completed its wait");
        return;
    }
    if (requests_since_start >= 0 && !in_signal_handler() && ++requests_since_start == 2)
        end_arming("arming ends (a second server request)");
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
    real_write = (write_fn)dlsym(RTLD_NEXT, "write");
    real_read = (read_fn)dlsym(RTLD_NEXT, "read");
    real_writev = (writev_fn)dlsym(RTLD_NEXT, "writev");
    real_pthread_create = (pthread_create_fn)dlsym(RTLD_NEXT, "pthread_create");

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
static int answer(unsigned long request, void *arg, enum thread_role role, int *result)
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
    /* TIOCMIWAIT's baseline comes before the count: a peer that waits for the count and then
     * changes a line must not change it before the baseline is taken. */
    uint32_t baseline = request == TIOCMIWAIT ? transitions((unsigned long)arg) : 0;
    count(call);

    switch (request) {
    case TIOCMGET: {
        if (!arg) { *result = fail(EFAULT); break; }
        uint32_t inputs = load(&state->inputs) & INPUT_LINES;
        if (role == ROLE_WAITING && waiter_wait && inputs != waiter_start_inputs)
            waiter_saw_change = 1;
        *(int *)arg = (int)(inputs | (load(&state->outputs) & OUTPUT_LINES));
        *result = 0;
        break;
    }
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
        account_icount(role);
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

/* Also called from Wine's signal handlers: formats into the stack and writes with the system
 * call itself (no stdio lock, no locale, no interposed write). */
static void trace(int fd, unsigned long request, const char *how, long result, int error)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[256];
    char why[24] = "";
    if (result < 0)
        snprintf(why, sizeof why, " (errno %d)", error);
    int n = snprintf(line, sizeof line,
                     "modem_lines: %ld.%06ld pid %d tid %ld fd %d request 0x%lx %s -> %ld%s\n",
                     (long)now.tv_sec, now.tv_nsec / 1000, (int)getpid(),
                     (long)syscall(SYS_gettid), fd, request, how, result, why);
    if (n > 0)
        syscall(SYS_write, 2, line, (size_t)(n < (int)sizeof line ? n : (int)sizeof line - 1));
}

static int dispatch(ioctl_fn real, int fd, unsigned long request, void *arg)
{
    if (!enabled || !is_pty(fd))
        return pass(real, fd, request, arg);
    enum thread_role role = role_of();
    int result = 0;
    if (answer(request, arg, role, &result)) {
        if (tracing)
            trace(fd, request, "answered", result, 0);
        return result;
    }
    count(VANDREL_CALL_OTHER);
    int saved;
    result = pass(real, fd, request, arg);
    saved = errno;
    if (tracing)
        trace(fd, request, "passed", result, saved);
    errno = saved;
    return result;
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

/* Counted as the call starts, so that a peer which has already read the bytes finds the
 * write counted. */
EXPORT ssize_t write(int fd, const void *buffer, size_t size)
{
    pthread_once(&once, init);
    int ours = enabled && size > 0 && is_pty(fd);
    if (ours)
        account_transfer(&state->writes);
    else if (enabled && (requests_since_start >= 0 || waiter_saw_change))
        account_request();
    ssize_t result = real_write ? real_write(fd, buffer, size)
                                : (ssize_t)syscall(SYS_write, fd, buffer, size);
    if (ours && tracing) {
        int saved = errno;
        trace(fd, 0, in_signal_handler() ? "write (in a signal handler)" : "write", (long)result,
              saved);
        errno = saved;
    }
    return result;
}

EXPORT ssize_t read(int fd, void *buffer, size_t size)
{
    pthread_once(&once, init);
    int ours = enabled && size > 0 && is_pty(fd);
    if (ours)
        account_transfer(&state->reads);
    ssize_t result = real_read ? real_read(fd, buffer, size)
                               : (ssize_t)syscall(SYS_read, fd, buffer, size);
    if (ours && tracing) {
        int saved = errno;
        trace(fd, 0, in_signal_handler() ? "read (in a signal handler)" : "read", (long)result,
              saved);
        errno = saved;
    }
    return result;
}

EXPORT ssize_t writev(int fd, const struct iovec *vector, int count)
{
    pthread_once(&once, init);
    if (enabled && (requests_since_start >= 0 || waiter_saw_change) && !is_pty(fd))
        account_request();
    return real_writev ? real_writev(fd, vector, count)
                       : (ssize_t)syscall(SYS_writev, fd, vector, count);
}

/* A thread started while its parent arms a wait: that wait's waiting thread. */
struct waiter_start {
    void *(*start)(void *);
    void *arg;
};

static void *start_waiting_thread(void *p)
{
    struct waiter_start waiter = *(struct waiter_start *)p;
    free(p);
    thread_role = ROLE_WAITING;
    store(&state->waiting_tid, (uint32_t)syscall(SYS_gettid));
    add(&state->waiting_threads);
    return waiter.start(waiter.arg);
}

/* Wine starts the waiting thread of a WaitCommEvent from the arming thread. When the peer has
 * asked for it, that thread stays here, its waiting thread running, until the peer lets it
 * go. */
EXPORT int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                          void *arg)
{
    pthread_once(&once, init);
    if (!real_pthread_create)
        return EAGAIN;
    const int arming = enabled && thread_role == ROLE_PROGRAM &&
                       (load(&state->inputs) & VANDREL_MODEM_ARMING);
    struct waiter_start *waiter = arming ? malloc(sizeof *waiter) : NULL;
    int result;
    if (waiter) {
        waiter->start = start;
        waiter->arg = arg;
        result = real_pthread_create(thread, attr, start_waiting_thread, waiter);
        if (result != 0)
            free(waiter);
    } else {
        result = real_pthread_create(thread, attr, start, arg);
    }
    if (arming && result == 0) {
        requests_since_start = 0;
        if (tracing)
            trace(-1, 0, "arming started its waiting thread", 0, 0);
        hold_if_asked(&state->hold_arming, &state->hold_arming_wait, load(&state->watch_arms),
                      "held: arming, with its waiting thread started");
    }
    return result;
}
