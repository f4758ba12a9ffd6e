// The Linux side of a serial line played over a pseudo-terminal: what the test rig uses to be
// the computer at the other end of the SIO bus while a Windows program runs under Wine on
// the pty's slave, mapped to a COM port.
//
// Setup failures throw std::runtime_error with a message fit for a test log; the calls made
// during a test report failures through their results.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/ioctl.h>
#include <sys/types.h>
#include <termios.h>

#include "modem_lines.h"

namespace rig {

using Clock = std::chrono::steady_clock;

// One byte read from the line, with the moment the read that returned it came back.
struct TimedByte {
    std::uint8_t value;
    Clock::time_point at;
};

// The shared modem-line record that the modem-line shim answers from. This side creates the
// file, owns the input lines and removes the file when it goes.
class ModemLines {
public:
    explicit ModemLines(std::string path);
    ~ModemLines();
    ModemLines(const ModemLines&) = delete;
    ModemLines& operator=(const ModemLines&) = delete;

    const std::string& path() const { return path_; }

    // The ring indicator, which carries the SIO command line. A change counts one transition
    // (TIOCGICOUNT's rng); setting the state it already has changes nothing.
    void setRing(bool on) { setInput(kRing, on); }
    bool ring() const { return (inputs() & kRing) != 0; }
    std::uint32_t ringTransitions() const;

    // Any input line: kRing, kCarrier, kDsr, kCts.
    void setInput(std::uint32_t line, bool on);
    std::uint32_t inputs() const;

    // Changes the ring indicator only while no program thread is inside WaitCommEvent
    // (VANDREL_MODEM_ARMING, modem_lines.h), waiting up to timeout for that; false when the
    // program stayed inside. The moment of the change (or of finding the line as asked) goes
    // to *changed.
    bool setRingBetweenArms(bool on, std::chrono::milliseconds timeout,
                            Clock::time_point* changed = nullptr);
    // A program thread is inside WaitCommEvent now.
    bool arming() const;
    // read() calls on the pty by program threads.
    std::uint32_t reads() const;

    // The shim's holds (modem_lines.h), for the wait number `wait` (watchArms() counts them):
    // asked here, then holding() once the shim holds the thread; releaseHold() lets it go.
    enum class Hold {
        Arming,      // the thread arming the wait, once it has started the waiting thread
        Completion,  // the waiting thread, once it has completed the wait on a line change, at
                     // its request to Wine's server number `request` after that
    };
    void askHold(Hold which, std::uint32_t wait, std::uint32_t request = 1);
    bool holding(Hold which) const;
    void releaseHold(Hold which);
    // The process using the pty, the latest waiting thread's and the latest held thread's
    // Linux thread ids (0 before any): /proc/<pid>/task/<tid> is there while a thread runs.
    pid_t programPid() const;
    pid_t waitingTid() const;
    pid_t heldTid() const;
    // Waits until the thread has ended (for a waiting thread: its wait has completed and
    // Wine has signalled its event); false when it has not within timeout, or tid is 0.
    bool waitForThreadEnd(pid_t tid, std::chrono::milliseconds timeout) const;
    bool waitForWaitingThreadEnd(std::chrono::milliseconds timeout) const
    {
        return waitForThreadEnd(waitingTid(), timeout);
    }

    // DTR and RTS as the program last set them. Both start on, as a real port's do when it
    // is opened, so that a test can tell that the program switched them off.
    bool dtr() const { return (outputs() & kDtr) != 0; }
    bool rts() const { return (outputs() & kRts) != 0; }
    std::uint32_t outputs() const;
    // How many TIOCMSET/BIS/BIC requests have reached DTR and RTS.
    std::uint32_t outputWrites() const;

    // How many requests of one kind the shim has answered (or passed on, for the rest).
    std::uint32_t calls(vandrel_modem_call call) const;

    // The program's reads and writes on the pty and its waits for a line change, as the shim
    // accounts for them (modem_lines.h). A transfer is counted as its call starts: once the
    // peer has read a byte, the write that sent it is in writes(); once the program's input
    // queue is empty (PtyPeer::drain), the read that took the last byte is in reads().
    std::uint32_t writes() const;
    std::uint32_t transfers() const;  // reads() and writes()
    std::uint32_t watchArms() const;
    std::uint32_t waitingThreads() const;
    // True once a wait armed after the program's transfer number `transfers` (arm_transfers
    // has reached it) has been polled by its own waiting thread at least `polls` times: a
    // line change from now on is seen by that wait. The input lines as they were when that
    // wait was armed go to *inputsAtArm.
    bool watchPolled(std::uint32_t transfers, std::uint32_t polls = 1,
                     std::uint32_t* inputsAtArm = nullptr) const;
    // Waits, as waitForCalls does, until watchPolled(transfers, polls) holds.
    bool waitForPolledWatch(std::uint32_t transfers, std::chrono::milliseconds timeout,
                            std::uint32_t* inputsAtArm = nullptr, Clock::time_point* when = nullptr,
                            std::uint32_t polls = 1) const;
    // The latest wait armed, read as one: its number (watchArms()), the program's transfers
    // and writes when it was armed, the input lines then, and how often its own thread has
    // polled it since (the fields may be the next arm's while polls is 0).
    struct Arm {
        std::uint32_t number = 0, transfers = 0, writes = 0, inputs = 0, polls = 0;
    };
    Arm latestArm() const;
    // When the program began its write number n (1 for the first), on this side's clock;
    // nullopt once 16 later writes have begun, or before it has.
    std::optional<Clock::time_point> writeStarted(std::uint32_t n) const;
    // Waits until watchArms() passes `arms` (a wait has been armed since it was read).
    bool waitForArm(std::uint32_t arms, std::chrono::milliseconds timeout,
                    Clock::time_point* when = nullptr) const;
    // Waits until calls(call) reaches atLeast, within timeout; the moment it did goes to *when.
    // Wine's waiting thread asks TIOCGICOUNT once a round, so this tells when it is polling.
    bool waitForCalls(vandrel_modem_call call, std::uint32_t atLeast,
                      std::chrono::milliseconds timeout, Clock::time_point* when = nullptr) const;

    static constexpr std::uint32_t kRing = TIOCM_RNG;
    static constexpr std::uint32_t kCarrier = TIOCM_CAR;
    static constexpr std::uint32_t kDsr = TIOCM_DSR;
    static constexpr std::uint32_t kCts = TIOCM_CTS;
    static constexpr std::uint32_t kDtr = TIOCM_DTR;
    static constexpr std::uint32_t kRts = TIOCM_RTS;

private:
    bool changeInput(std::uint32_t line, bool on, bool betweenArms,
                     std::chrono::milliseconds timeout, Clock::time_point* changed);

    std::string path_;
    vandrel_modem_state* state_ = nullptr;
};

enum class Pacing {
    Unpaced,  // as fast as the pty takes them
    Paced,    // one byte every byte time, as a UART at the line's baud rate sends them
};

// A pty pair in raw 8N1 mode, with the modem-line record for its slave. The peer keeps a
// descriptor of the slave open for its whole life, so the master never sees a hang-up while
// the program under test opens and closes the port, and bytes written before the program
// opens the port wait in the slave's input queue.
class PtyPeer {
public:
    // statePath: where to create the modem-line record (a file the shim maps).
    explicit PtyPeer(const std::string& statePath, unsigned baud = 19200);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    ModemLines& lines() { return lines_; }
    const ModemLines& lines() const { return lines_; }

    // The SIO command line, carried by the ring indicator.
    void setCommandLine(bool asserted) { lines_.setRing(asserted); }
    // The same, only while the program is not inside WaitCommEvent (setRingBetweenArms).
    bool changeCommandLine(bool asserted, std::chrono::milliseconds timeout,
                           Clock::time_point* changed = nullptr)
    {
        return lines_.setRingBetweenArms(asserted, timeout, changed);
    }

    // The slave's terminal settings: what the program under test last set through its port
    // (Wine applies SetCommState there), or what the peer puts there before it opens it.
    termios lineSettings() const;
    void setLineSettings(const termios& settings);

    // How long one 10-bit character takes at the line's baud rate (520833 ns at 19200).
    std::chrono::nanoseconds byteTime() const { return byteTime_; }

    // Writes every byte, or returns false when the pty refuses them for longer than timeout
    // (the program is not reading). Paced bytes start one byte time apart, measured from the
    // first, without drift; the wait is a sleep followed by a short spin.
    // The moment the last byte was handed to the pty (just before the call) goes to *lastWritten.
    bool write(std::span<const std::uint8_t> bytes, Pacing pacing,
               std::chrono::milliseconds timeout = std::chrono::seconds(20),
               Clock::time_point* lastWritten = nullptr);
    bool write(std::uint8_t byte, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Reads until count bytes have come or timeout has passed; returns what came.
    std::vector<TimedByte> read(std::size_t count, std::chrono::milliseconds timeout);
    // The same until a moment (one in the past reads only what has already arrived).
    std::vector<TimedByte> readUntil(std::size_t count, Clock::time_point deadline);
    std::optional<TimedByte> readByte(std::chrono::milliseconds timeout);
    // Reads and drops whatever has already arrived; returns how many bytes that was.
    std::size_t discardInput();

    // Waits until the program has taken every byte written to it (the slave's input queue is
    // empty). False when it has not within timeout.
    bool drain(std::chrono::milliseconds timeout);
    // Bytes written that the program has not read yet.
    std::size_t pendingForProgram() const;

private:
    ModemLines lines_;  // first: it is there before any descriptor is opened
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::chrono::nanoseconds byteTime_;
};

// Polls condition every 20 us until it holds or timeout has passed; the moment it held goes
// to *when. How the rig waits for the program's progress through the shim's record.
template <typename Condition>
bool pollUntil(Condition condition, std::chrono::milliseconds timeout,
               Clock::time_point* when = nullptr)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        bool reached = condition();
        auto now = Clock::now();
        if (reached) {
            if (when)
                *when = now;
            return true;
        }
        if (now >= deadline)
            return false;
        const timespec step{0, 20'000};
        nanosleep(&step, nullptr);
    }
}

// Returns at target, within a few microseconds: sleeps most of the way and spins the rest.
// For pacing the bus; never a way to wait for the program.
void waitUntil(Clock::time_point target);

// The environment a Wine process needs to see this peer's modem lines: LD_PRELOAD with the
// shim (one path, or a 64-bit and a 32-bit build separated by ':'; the loader takes the one
// of its own width), and the two variables that name the pty and the record.
std::vector<std::string> shimEnvironment(const PtyPeer& peer, const std::string& shim);

}  // namespace rig
