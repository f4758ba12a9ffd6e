// CSIOPort: the PC serial port that carries the SIO bus, with the command line on its
// ring-indicator input.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "serial/comm_device.h"
#include "serial/reporter.h"
#include "serial/run_state.h"

class CSIOPort {
public:
    enum Mode : std::uint32_t { kRead = 2, kWrite = 3 };

    // The wait used by transfers: platform::waitAny, or a stand-in in tests.
    using WaitFunction = unsigned (*)(const platform::Event* const* events, unsigned count,
                                      std::uint32_t timeoutMs);

    // Every transfer ends at once when the run state asks to stop or halts; failures go to
    // reporter. Neither is owned.
    CSIOPort(std::unique_ptr<comm::ICommDevice> device, CRunState& runState, IReporter& reporter,
             WaitFunction wait = platform::waitAny);
    virtual ~CSIOPort();
    CSIOPort(const CSIOPort&) = delete;
    CSIOPort& operator=(const CSIOPort&) = delete;

    // Opens COMn unless it is open already and not broken. True when a port is open.
    bool setPort(std::uint8_t n);
    bool openPort(std::uint8_t n);
    void closePort();
    bool setSpeed(std::uint32_t rate);
    void purgeBuffers();
    bool checkLineError();

    // Moves exactly count bytes. A 5-byte read is a command frame: it counts only when the
    // command line is seen while it arrives. Any other transfer ends, failed, when the
    // command line is seen. A stop request or a halt ends every transfer at once.
    bool doOverlappedComCrud(Mode mode, std::uint32_t count, std::uint8_t* buffer);
    bool readBytes(std::uint8_t* buffer, std::uint32_t count) { return doOverlappedComCrud(kRead, count, buffer); }
    bool writeBytes(const std::uint8_t* buffer, std::uint32_t count) {
        return doOverlappedComCrud(kWrite, count, const_cast<std::uint8_t*>(buffer));
    }
    bool writeByte(std::uint8_t byte) { return doOverlappedComCrud(kWrite, 1, &byte); }
    // Reads the next command frame. After a data frame that a new command cut short, that
    // command's first bytes may have been taken with the data: they count with the frame.
    bool readCommandFrame(std::uint8_t* frame);
    // For a command frame whose checksum failed: waits until the command line is released
    // (the frame is over), then makes frame the last five bytes received. False when nothing
    // came after the five.
    bool recoverCommandFrame(std::uint8_t* frame);
    // Ends the watch that a transfer left armed for the next one: the emulation is over.
    void endWatch();

    bool commandLineSeen() const { return commandLineSeen_; }
    // The last transfer waited for something (an event, its I/O) rather than failing at once.
    bool lastTransferWaited() const { return transferWaited_; }
    // Set once a watch is armed or a transfer issued since awaitAnswer(): the port works.
    void awaitAnswer() { answered_.reset(); }
    const platform::Event& answeredEvent() const { return answered_; }
    // A failure of the line halted the emulation on this port; reopening it is the way back.
    bool isBroken() const { return broken_; }
    std::uint32_t speed() const { return speed_; }
    // Read without a lock by any thread while the port is being changed.
    std::uint8_t portNumber() const { return portNumber_.load(); }
    bool isOpen() const { return isOpen_.load(); }

private:
    // One transfer: what it moves, where its watch and its I/O stand, and how it ends.
    struct Pass {
        Mode mode = kRead;
        std::uint32_t count = 0;
        bool frameMode = false;    // a 5-byte read: a command frame
        bool watchless = false;    // a read of bytes already waiting
        const char* call = "";     // ReadFile or WriteFile, for reports
        // the watch
        bool watchArmed = false;
        bool ringWhenArmed = false;
        bool answeredLineDown = false;  // the line of the command being answered, seen released
        bool lineSeen = false;
        // the I/O
        bool inFlight = false;
        std::uint32_t moved = 0;
        bool reissueNow = false;  // a line error allows a retry and nothing is pending
        int spins = 0;            // rounds that found nothing to wait for
        int polls = 0;            // looks at the line while waiting
        std::uint32_t lastAbort = comm::kErrorOperationAborted;
        const char* lastAbortCall = "ReadFile";
        // the outcome: finished with every byte moved, or ended (failed)
        bool finished = false;
        bool failed = false;

        void end() { finished = failed = true; }
        void aborted(std::uint32_t error, const char* operation) {
            lastAbort = error;
            lastAbortCall = operation;
        }
    };

    bool transfer(Pass& p, std::uint8_t* buffer);
    // The steps of a transfer.
    bool watchWanted(const Pass& p) const;
    void armWatch(Pass& p);
    void issue(Pass& p);
    void takeWatchEvent(Pass& p);
    void takeCompletion(Pass& p);
    // The line came up for a command after the one being served: the pass ends, and the
    // next frame read knows the line was seen.
    void endAsNewCommand(Pass& p);
    // Ends the watch and the transfer that are still pending and waits, within a bound, for
    // both; a device that does not end them is lost, and the emulation halts. A watch that
    // has seen nothing, armed while the line was released, is kept for the next transfer.
    void settle(Pass& p);
    bool ended(comm::Operation op, const platform::Event& signal, std::uint32_t& moved);
    // After a write, when nothing watches the line: a watch armed now is polled by the time
    // the computer asserts the line for its next command.
    void armWatchForNext();
    // The frame that ends with the command line's release: carry_ and what came since;
    // needsMore: false when nothing came since.
    bool readFrameTail(std::uint8_t* frame, bool needsMore);
    bool awaitLineRelease();

    bool ringIsOn();
    // On when the watch was armed, off now: the command line that came with the frame being
    // answered has been released. Anything else is a new command.
    bool isReleaseOfAnsweredLine(const Pass& p);
    // The line as a waiting read finds it: the command line of a frame, or a new command.
    void pollLine(Pass& p);
    // A data read whose watch was armed with the answered command's line still asserted,
    // and which has not seen that line released yet.
    bool awaitsAnsweredRelease(const Pass& p) const;
    // A failure of the line during emulation: halts the emulation and reports it.
    void halt(std::uint32_t error, const char* location, const char* operation);

    bool commandLineSeen_ = false;
    bool keptWatch_ = false;  // pending, armed with the line released, nothing seen yet
    std::uint8_t carry_[5] = {};  // the last bytes of a read that a new command cut short
    std::uint32_t carried_ = 0;
    bool transferWaited_ = false;
    int idleFailures_ = 0;
    bool broken_ = false;
    std::uint32_t speed_ = 0;
    std::atomic<std::uint8_t> portNumber_{0};
    std::atomic<bool> isOpen_{false};
    std::unique_ptr<comm::ICommDevice> device_;
    CRunState& runState_;
    IReporter& reporter_;
    WaitFunction wait_;
    platform::Event waitEvent_;
    platform::Event ioEvent_;
    platform::Event answered_{platform::EventReset::Manual, false};
    std::uint8_t staging_[1024] = {};  // the largest frame: a 1023-byte sector and its checksum
};
