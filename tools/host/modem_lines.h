/* The modem lines of one pseudo-terminal, as the test rig plays them.
 *
 * Linux ptys have no modem lines: TIOCMGET and its friends answer ENOTTY, and Wine's
 * WaitCommEvent then fails at once. The modem-line shim (modem_lines.c, loaded into Wine with
 * LD_PRELOAD) answers those requests for one pty from this record, kept in a small file that
 * the test's side of the bus maps too. The peer owns the input lines (ring indicator, carrier,
 * DSR, CTS) and their transition counts; the program under test owns DTR and RTS.
 *
 * Both sides read and write every field with atomic operations; nothing else is shared. */
#ifndef VANDREL_TOOLS_HOST_MODEM_LINES_H
#define VANDREL_TOOLS_HOST_MODEM_LINES_H

#include <stdint.h>

/* The pty slave path (e.g. /dev/pts/7) whose modem lines the shim plays. */
#define VANDREL_MODEM_PTY_ENV "VANDREL_MODEM_PTY"
/* The path of the shared record. */
#define VANDREL_MODEM_STATE_ENV "VANDREL_MODEM_STATE"
/* When set to 1, the shim writes one line to stderr for every ioctl, read and write made on
 * that pty, and for the arming and holding of waits. */
#define VANDREL_MODEM_TRACE_ENV "VANDREL_MODEM_TRACE"

#define VANDREL_MODEM_MAGIC 0x4D4C5456u /* "VTLM" */
#define VANDREL_MODEM_VERSION 3u

/* In inputs, beside the lines: a program thread is inside WaitCommEvent. Wine's
 * WaitCommEvent stores STATUS_PENDING in the caller's status block after it has started the
 * waiting thread; should that thread see a line change and complete the wait first, its result
 * is overwritten (GetOverlappedResult then reports the wait incomplete for ever, although its
 * event is set and its mask written). A peer that changes a line only while this is clear
 * never races it. Set by the arming TIOCGICOUNT; cleared when the thread reads or writes the
 * pty (the transfer it issues next, or the bytes of the one in flight), or makes its second
 * request to the Wine server after starting the waiting thread (the first closes the new
 * thread's handle; the status block is written right after it), outside a signal handler:
 * Wine interrupts a thread, even inside WaitCommEvent, to complete its reads in flight. */
#define VANDREL_MODEM_ARMING 0x80000000u

/* Holds, for a peer that must make Wine's threads meet in a given order. Each is asked by the
 * peer for one wait (by its number in watch_arms, 1 for the first), holds one thread once, and
 * lasts until the peer lets it go:
 *   hold_arming: the program thread arming that wait, right after it has started the wait's
 *     waiting thread (inside WaitCommEvent, before the call has stored "pending");
 *   hold_completion: that wait's waiting thread, once it has seen an input line differ from
 *     the wait's start and completed the wait (status and mask written), at its request to the
 *     Wine server number hold_completion_request after that: Wine's thread first tells the
 *     server the wait is over (1), then signals the wait's event (2). */
#define VANDREL_MODEM_HOLD_NONE 0u
#define VANDREL_MODEM_HOLD_ASKED 1u
#define VANDREL_MODEM_HOLD_HOLDING 2u
/* Taken by a thread that is about to hold: held_tid is being written. */
#define VANDREL_MODEM_HOLD_CLAIMED 3u

/* How many of the latest writes keep their start time. */
#define VANDREL_MODEM_WRITE_TIMES 16u

/* What the shim answered, counted by request. */
enum vandrel_modem_call {
    VANDREL_CALL_TIOCMGET,
    VANDREL_CALL_TIOCMSET,
    VANDREL_CALL_TIOCMBIS,
    VANDREL_CALL_TIOCMBIC,
    VANDREL_CALL_TIOCGICOUNT,
    VANDREL_CALL_TIOCMIWAIT,
    VANDREL_CALL_OTHER, /* any other request on the pty, passed through to the kernel */
    VANDREL_CALL_COUNT
};

struct vandrel_modem_state {
    uint32_t magic;   /* written last by the peer, once the rest is initialised */
    uint32_t version;
    uint32_t inputs;  /* TIOCM_RNG | TIOCM_CAR | TIOCM_DSR | TIOCM_CTS: the peer's; and
                         VANDREL_MODEM_ARMING, the shim's */
    uint32_t outputs; /* TIOCM_DTR | TIOCM_RTS: the program's, through TIOCMSET/BIS/BIC */
    uint32_t output_writes;          /* TIOCMSET/BIS/BIC requests that reached outputs */
    uint32_t cts, dsr, rng, dcd;     /* input transitions, as TIOCGICOUNT reports them */
    uint32_t calls[VANDREL_CALL_COUNT];

    /* Where the program's WaitCommEvent stands, for a peer that must act only once a wait is
     * armed and watched. Wine arms a wait on the calling thread (one TIOCGICOUNT among its
     * requests) and then polls the lines from a thread made for that wait, one TIOCGICOUNT a
     * round. The shim tells the two apart by their birth: a waiting thread is one that a
     * program thread started while arming a wait; every other thread is a program thread,
     * whichever thread set the port up. Written by the shim, but for what the peer asks of
     * the holds. */
    uint32_t writes;          /* write() calls on the pty by program threads */
    uint32_t watch_arms;      /* TIOCGICOUNT from program threads: waits being armed */
    uint32_t arm_transfers;   /* transfers when the latest wait was armed */
    uint32_t arm_inputs;      /* the input lines when the latest wait was armed */
    uint32_t polls_since_arm; /* TIOCGICOUNT from waiting threads since the latest arm */
    uint32_t waiting_threads; /* waiting threads seen */
    uint32_t reads;           /* read() calls on the pty by program threads */
    uint32_t transfers;       /* reads and writes, counted as each call starts */
    uint32_t program_pid;     /* the process the shim answers in */
    uint32_t waiting_tid;     /* the latest waiting thread's Linux thread id */
    uint32_t hold_arming;         /* VANDREL_MODEM_HOLD_*: the peer asks, the shim holds */
    uint32_t hold_arming_wait;    /* which wait; set by the peer before it asks */
    uint32_t hold_completion;     /* VANDREL_MODEM_HOLD_* */
    uint32_t hold_completion_wait;
    uint32_t hold_completion_request;
    uint32_t held_tid;            /* the Linux thread id of the latest thread held */
    uint32_t arm_writes;          /* writes when the latest wait was armed: a wait armed after
                                     the program's last write is the one it waits in next */
    /* When the latest writes began, on CLOCK_MONOTONIC in microseconds (modulo 2^32): write
     * number n (counted from 0) in slot n % VANDREL_MODEM_WRITE_TIMES, stored before writes
     * counts it. The drive's own timing, whatever delays the peer's reads. */
    uint32_t write_us[VANDREL_MODEM_WRITE_TIMES];
};

#endif
