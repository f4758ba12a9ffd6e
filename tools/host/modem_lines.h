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
/* When set to 1, the shim writes one line to stderr for every ioctl made on that pty. */
#define VANDREL_MODEM_TRACE_ENV "VANDREL_MODEM_TRACE"

#define VANDREL_MODEM_MAGIC 0x4D4C5456u /* "VTLM" */
#define VANDREL_MODEM_VERSION 1u

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
    uint32_t inputs;  /* TIOCM_RNG | TIOCM_CAR | TIOCM_DSR | TIOCM_CTS: the peer's */
    uint32_t outputs; /* TIOCM_DTR | TIOCM_RTS: the program's, through TIOCMSET/BIS/BIC */
    uint32_t output_writes;          /* TIOCMSET/BIS/BIC requests that reached outputs */
    uint32_t cts, dsr, rng, dcd;     /* input transitions, as TIOCGICOUNT reports them */
    uint32_t calls[VANDREL_CALL_COUNT];
};

#endif
