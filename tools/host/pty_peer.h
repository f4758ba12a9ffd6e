// The Linux side of a serial line played over a pseudo-terminal: what the test rig uses to be
// the computer at the other end of the SIO bus while a Windows program runs under Wine on
// the pty's slave, mapped to a COM port.
//
// Setup failures throw std::runtime_error with a message fit for a test log; the calls made
// during a test report failures through their results.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/ioctl.h>

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

    // DTR and RTS as the program last set them. Both start on, as a real port's do when it
    // is opened, so that a test can tell that the program switched them off.
    bool dtr() const { return (outputs() & kDtr) != 0; }
    bool rts() const { return (outputs() & kRts) != 0; }
    std::uint32_t outputs() const;
    // How many TIOCMSET/BIS/BIC requests have reached DTR and RTS.
    std::uint32_t outputWrites() const;

    // How many requests of one kind the shim has answered (or passed on, for the rest).
    std::uint32_t calls(vandrel_modem_call call) const;
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

    // How long one 10-bit character takes at the line's baud rate (520833 ns at 19200).
    std::chrono::nanoseconds byteTime() const { return byteTime_; }

    // Writes every byte, or returns false when the pty refuses them for longer than timeout
    // (the program is not reading). Paced bytes start one byte time apart, measured from the
    // first, without drift; the wait is a sleep followed by a short spin.
    bool write(std::span<const std::uint8_t> bytes, Pacing pacing,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool write(std::uint8_t byte, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Reads until count bytes have come or timeout has passed; returns what came.
    std::vector<TimedByte> read(std::size_t count, std::chrono::milliseconds timeout);
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

// The environment a Wine process needs to see this peer's modem lines: LD_PRELOAD with the
// shim (one path, or a 64-bit and a 32-bit build separated by ':'; the loader takes the one
// of its own width), and the two variables that name the pty and the record.
std::vector<std::string> shimEnvironment(const PtyPeer& peer, const std::string& shim);

}  // namespace rig
