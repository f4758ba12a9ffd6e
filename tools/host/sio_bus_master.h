// The computer's side of the SIO bus, over a pty whose other end a drive emulation under Wine
// holds as its COM port: command frames sent with the command line (the ring indicator)
// around them, and every byte and every time of the drive's answer checked as it comes.
//
// Bus model, per command frame:
//   - the drive must be listening first: its read of the next command frame has armed its
//     wait for the command line after its last write and after the previous frame's bytes,
//     and Wine's thread polls that wait (the shim's record). Wine polls the lines, so a
//     computer that raised the line before that wait exists would never be heard. (After a
//     command the drive left unanswered or refused at once, that wait may have been armed
//     before the line's release and ended on it: the read then counts the release as its
//     command line and takes the next five bytes as a frame, with no wait armed; or the
//     release came while the wait was being armed, Wine took the released line as its
//     baseline, and the wait polls on unchanged);
//   - the command line is asserted 1200-1600 us before the frame's first byte (not 750: Wine
//     sees a change up to about 1.3 ms late), and released 650-950 us after its last byte;
//   - the bytes go one byte time apart at 19200 baud, or unpaced for stress runs. The last
//     byte waits, should it need to, until the drive has taken the line's rise (Wine has
//     ended the wait it was polling): five bytes that complete before it are not a frame.
//     Such frames are counted;
//   - the first answer byte (ACK or NAK) is due within 16 ms of the frame's last byte;
//     COMPLETE at least 1500 us after its ACK; data frames byte for byte; no byte beyond the
//     answer; and silence where no answer is due.
// The drive's times are the moments its writes began, as the modem-line shim records them on
// the same monotonic clock (each handshake byte and data frame is one write); this side's
// wake-ups, late by milliseconds on a machine busy with Wine, do not enter them. Where the
// writes do not match the answer, the bytes' read times stand in, and a gap between two
// bytes is judged only when both were waited for, so that a late look here never passes for
// an early answer there.
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
    // What the drive does, or the computer in its turn, after a command frame: in order.
    struct Step {
        enum class Kind { Ack, Nak, Complete, DataIn, DataOut, Silence };
        Kind kind;
        Bytes bytes;  // DataIn: the frame expected; DataOut: the frame to send
    };
    static Step ack() { return {Step::Kind::Ack, {}}; }
    static Step nak() { return {Step::Kind::Nak, {}}; }
    static Step complete() { return {Step::Kind::Complete, {}}; }
    static Step dataIn(Bytes frame) { return {Step::Kind::DataIn, std::move(frame)}; }
    static Step dataOut(Bytes frame) { return {Step::Kind::DataOut, std::move(frame)}; }
    static Step silence() { return {Step::Kind::Silence, {}}; }

    struct Exchange {
        // The first thing that went wrong: the drive never got back to listening, did not
        // answer at all, answered the wrong bytes, or answered right but out of time.
        enum class Fault { None, Stuck, Silent, Wrong, Late };
        bool ok = false;
        Fault fault = Fault::None;
        std::string failure;
        std::optional<double> ackUs;       // frame's last byte -> first answer byte
        std::optional<double> completeUs;  // ACK -> COMPLETE, when it could be judged
        double commandUs = 0;              // command line asserted -> answer's last byte
        std::size_t wireBytes = 0;         // bytes both ways, frame included
        std::size_t bytesChecked = 0;      // answer bytes compared with what was due
        Bytes received;                    // the answer as it came
    };

    // Everything measured since construction (or reset), for the summary and the benchmark.
    struct Figures {
        std::vector<double> ackUs, completeUs;
        std::size_t frames = 0, bytesChecked = 0;
        std::size_t ackMisses = 0;       // first answer byte later than 16 ms
        std::size_t earlyCompletes = 0;  // COMPLETE less than 1500 us after ACK
        std::size_t unjudgedGaps = 0;    // ACK and COMPLETE found waiting together
        std::size_t timedByWrites = 0;   // answers timed by the drive's writes (the rest by reads)
        std::size_t heldLastBytes = 0;   // last byte held until the drive took the line
        std::size_t leadSlips = 0, releaseSlips = 0;  // this side off its own window
        std::vector<double> leadUs, releaseUs;
        std::vector<double> takenUs;  // command line asserted -> the drive has taken it
    };

    static constexpr std::chrono::microseconds kAckBound{16000};
    static constexpr std::chrono::microseconds kCompleteGap{1500};

    // alive: false once the drive's process has gone, which ends every wait at once.
    SioBusMaster(PtyPeer& peer, Pacing pacing, std::function<bool()> alive);

    // Waits until the drive listens for a command frame (see above); false with *why after
    // timeout. Bytes found on the line then are an answer beyond its end: also false.
    bool waitListening(std::chrono::milliseconds timeout, std::string* why);

    // One command: waits for the drive to listen, sends the frame and plays the steps.
    Exchange exchange(const Bytes& commandFrame, const std::vector<Step>& steps);

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
    Received readOne(Clock::time_point deadline);
    std::vector<TimedByte> readMany(std::size_t count, Clock::time_point deadline);
    // Asserts the command line, sends the frame and releases the line.
    bool sendFrame(const Bytes& frame);

    PtyPeer& peer_;
    Pacing pacing_;
    std::function<bool()> alive_;
    Figures figures_;
    unsigned sequence_ = 0;
    // The program's transfers before the latest frame's last byte: the wait of the drive's
    // next frame read comes after them.
    std::optional<std::uint32_t> frameTransfers_;
    Clock::time_point frameEnd_{};
    std::vector<Received> early_;  // answer bytes that came before the line was released
};

}  // namespace rig
