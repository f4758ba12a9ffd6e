// The computer's side of the SIO bus, over a pty whose other end a drive emulation under Wine
// holds as its COM port: command frames sent with the command line (the ring indicator)
// around them, and every byte and every time of the drive's answer checked as it comes.
//
// Bus model, per command frame, as a real computer keeps it (Timing::Real, the default):
//   - the command line is asserted 1-4 ms after the last byte of the previous answer (after
//     the line's release, or the end of a silence, where no answer was due), or at once when
//     the new command cuts the computer's own data frame short; the frame's first byte
//     follows 750-1600 us later, and the line is released 650-950 us after its last byte.
//     Nothing here waits for the drive to listen;
//   - the bytes go one byte time apart at 19200 baud, or the five at once (as a USB adapter
//     hands them over) for stress runs;
//   - the first answer byte (ACK or NAK) is due within 16 ms of the frame's last byte. When
//     none has come by then, the frame is missed: the computer sends the command again, as a
//     real one retries, up to kTries times in all, and the run goes on. COMPLETE must come at
//     least 1500 us after its ACK; data frames byte for byte; no byte beyond the answer; and
//     silence where no answer is due.
// Timing::WaitForDrive is for diagnosis only: before each command it waits until the drive's
// read of the next command frame has armed its wait for the command line and Wine's thread
// polls it (the shim's record), asserts the line 1200-1600 us ahead, and holds the frame's
// last byte until the drive has taken the line. It proves only that the drive works with
// that courtesy.
// The drive's times are the moments its writes began, as the modem-line shim records them on
// the same monotonic clock (each handshake byte and data frame is one write); this side's
// wake-ups, late by milliseconds on a machine busy with Wine, do not enter them. Where the
// writes do not match the answer, the bytes' read times stand in, and a gap between two
// bytes is judged only when both were waited for, so that a late look here never passes for
// an early answer there. For a missed frame, where the drive was (its waits, reads and
// writes in the shim's record) at each step of the frame goes to the exchange's account.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "sio_frames.h"

namespace rig {

class SioBusMaster {
public:
    enum class Timing { Real, WaitForDrive };

    // What the drive does, or the computer in its turn, after a command frame: in order.
    struct Step {
        // DataOutCut: the computer sends the first `cutAt` bytes of its data frame, then
        // asserts the command line for the next exchange's command at once.
        enum class Kind { Ack, Nak, Complete, DataIn, DataOut, DataOutCut, Silence };
        Kind kind;
        Bytes bytes;  // DataIn: the frame expected; DataOut, DataOutCut: the frame to send
        std::size_t cutAt = 0;
    };
    static Step ack() { return {Step::Kind::Ack, {}}; }
    static Step nak() { return {Step::Kind::Nak, {}}; }
    static Step complete() { return {Step::Kind::Complete, {}}; }
    static Step dataIn(Bytes frame) { return {Step::Kind::DataIn, std::move(frame)}; }
    static Step dataOut(Bytes frame) { return {Step::Kind::DataOut, std::move(frame)}; }
    static Step dataOutCut(Bytes frame, std::size_t cutAt)
    {
        return {Step::Kind::DataOutCut, std::move(frame), cutAt};
    }
    static Step silence() { return {Step::Kind::Silence, {}}; }

    struct Exchange {
        // The first thing that went wrong: the drive's process or the pty gave out, every try
        // of the command was missed, the drive answered the wrong bytes, or answered right
        // but out of time.
        enum class Fault { None, Stuck, Silent, Wrong, Late };
        bool ok = false;
        Fault fault = Fault::None;
        std::string failure;
        std::size_t missed = 0;              // tries with no answer within 16 ms
        std::vector<std::string> missedWhere;  // where the drive was, for each
        std::optional<double> ackUs;       // frame's last byte -> first answer byte
        std::optional<double> completeUs;  // ACK -> COMPLETE, when it could be judged
        double commandUs = 0;              // command line asserted -> answer's last byte
        std::size_t wireBytes = 0;         // bytes both ways, frames included
        std::size_t bytesChecked = 0;      // answer bytes compared with what was due
        Bytes received;                    // the answer as it came
    };

    // Everything measured since construction (or reset), for the summary and the benchmark.
    struct Figures {
        std::vector<double> ackUs, completeUs;
        std::size_t frames = 0, bytesChecked = 0;
        std::size_t missed = 0;          // frames sent again: no answer within 16 ms
        std::size_t ackMisses = 0;       // first answer byte later than 16 ms
        std::size_t earlyCompletes = 0;  // COMPLETE less than 1500 us after ACK
        std::size_t unjudgedGaps = 0;    // ACK and COMPLETE found waiting together
        std::size_t timedByWrites = 0;   // answers timed by the drive's writes (the rest by reads)
        std::size_t cuts = 0;            // data frames cut short by a new command
        std::size_t heldLastBytes = 0;   // WaitForDrive: last byte held until the drive took the line
        std::size_t leadSlips = 0, releaseSlips = 0, gapSlips = 0;  // this side off its windows
        std::vector<double> leadUs, releaseUs, gapUs;
        std::vector<double> takenUs;  // WaitForDrive: line asserted -> the drive has taken it
    };

    static constexpr std::chrono::microseconds kAckBound{16000};
    static constexpr std::chrono::microseconds kCompleteGap{1500};
    static constexpr unsigned kTries = 4;

    // alive: false once the drive's process has gone, which ends every wait at once.
    SioBusMaster(PtyPeer& peer, Pacing pacing, Timing timing, std::function<bool()> alive);

    // Waits until the drive listens for a command frame (see above); false with *why after
    // timeout. Bytes found on the line then are an answer beyond its end: also false. The
    // start of a session uses it to know that the emulation has opened its port.
    bool waitListening(std::chrono::milliseconds timeout, std::string* why);

    // One command: sends the frame (again, while it is missed) and plays the steps.
    Exchange exchange(const Bytes& commandFrame, const std::vector<Step>& steps);

    Timing timing() const { return timing_; }
    const Figures& figures() const { return figures_; }
    void resetFigures() { figures_ = {}; }
    // How long the line takes for one byte.
    std::chrono::nanoseconds byteTime() const { return peer_.byteTime(); }

    // How long a silent drive is listened to before its silence counts.
    static constexpr std::chrono::milliseconds kSilence{150};

private:
    struct Received {
        std::optional<TimedByte> byte;
        bool waited = false;  // it came while this side was waiting for it
    };
    // The drive's place in the shim's record at one moment of a frame.
    struct DriveAt {
        const char* moment;
        ModemLines::Arm arm;
        std::uint32_t reads, writes;
        bool arming, waiterEnded;
        std::size_t unread;
    };
    enum class Try { Answered, Missed, Broken };

    Received readOne(Clock::time_point deadline);
    std::vector<TimedByte> readMany(std::size_t count, Clock::time_point deadline);
    // Asserts the command line (at once, or after the gap since the previous answer), sends
    // the frame and releases the line. Bytes found before the line rose go to *stray.
    bool sendFrame(const Bytes& frame, std::size_t* stray);
    // One try of the command: the frame and the steps.
    Try play(const Bytes& commandFrame, const std::vector<Step>& steps, Exchange& x);
    // Reads whatever the drive still sends until the line has been quiet a while, so that the
    // next command starts clean and is judged on its own.
    void settle(std::chrono::milliseconds quiet);
    DriveAt driveAt(const char* moment) const;
    std::string describe(const std::vector<DriveAt>& trace) const;

    PtyPeer& peer_;
    Pacing pacing_;
    Timing timing_;
    std::function<bool()> alive_;
    Figures figures_;
    unsigned sequence_ = 0;
    // The program's transfers before the latest frame's last byte: the wait of the drive's
    // next frame read comes after them.
    std::optional<std::uint32_t> frameTransfers_;
    Clock::time_point frameEnd_{};
    // Where the computer's next command may start from: the end of the latest answer (or
    // release, or silence); with cutNow_, the moment to assert the line at once.
    Clock::time_point answerEnd_{};
    bool cutNow_ = false;
    std::vector<Received> early_;  // answer bytes that came before the line was released
    std::vector<DriveAt> trace_;   // the latest frame's
};

}  // namespace rig
