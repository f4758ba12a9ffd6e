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

    bool commandLineSeen() const { return commandLineSeen_; }
    std::uint32_t speed() const { return speed_; }
    // Read without a lock by any thread while the port is being changed.
    std::uint8_t portNumber() const { return portNumber_.load(); }
    bool isOpen() const { return isOpen_.load(); }

private:
    bool ringIsOn();
    // On when the watch was armed, off now: the command line that came with the frame being
    // answered has been released. Anything else is a new command.
    bool isReleaseOfAnsweredLine(bool ringWhenArmed);
    // Ends the watch and the transfer that are still pending and waits for both, so that
    // nothing writes into the caller's buffer or our records after we return.
    void settle(bool watchArmed, bool inFlight);
    // A failure of the line during emulation: halts the emulation and reports it.
    void halt(std::uint32_t error, const char* location, const char* operation);

    bool commandLineSeen_ = false;
    std::uint32_t speed_ = 0;
    std::atomic<std::uint8_t> portNumber_{0};
    std::atomic<bool> isOpen_{false};
    std::unique_ptr<comm::ICommDevice> device_;
    CRunState& runState_;
    IReporter& reporter_;
    WaitFunction wait_;
    platform::Event waitEvent_;
    platform::Event ioEvent_;
};
