// ICommDevice: the handful of serial calls the port engine makes, so that the engine is
// written once and runs on the Win32 device or on the scriptable fake of the tests.
//
// Overlapped operations work as on Windows: a call either completes at once (true) or fails;
// the error 997 (I/O pending) means it goes on and sets the given event when it completes,
// after which completedResult() gives its outcome. The device owns one overlapped record for
// the command-line watch and one for the data transfer; the caller owns the events.
#pragma once

#include <cstdint>

#include "platform/event.h"

namespace comm {

// The device control block, laid out as the system's (28 bytes); `flags` holds the bit
// fields fBinary (bit 0) to fAbortOnError (bit 14) as one word.
struct Settings {
    std::uint32_t length = 28;
    std::uint32_t baudRate = 0;
    std::uint32_t flags = 0;
    std::uint16_t reserved = 0;
    std::uint16_t xonLim = 0;
    std::uint16_t xoffLim = 0;
    std::uint8_t byteSize = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
    char xonChar = 0;
    char xoffChar = 0;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;
    std::uint16_t reserved1 = 0;
};
static_assert(sizeof(Settings) == 28);

enum class Operation { Watch, Transfer };

inline constexpr std::uint32_t kEventRing = 0x0100;       // EV_RING
inline constexpr std::uint32_t kModemRingOn = 0x0040;     // MS_RING_ON
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;    // PURGE_RXCLEAR
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;    // PURGE_TXCLEAR
inline constexpr std::uint32_t kLineFrameError = 0x0008;  // CE_FRAME
inline constexpr std::uint32_t kLineRxOverflow = 0x0001;  // CE_RXOVER
inline constexpr std::uint32_t kErrorIoPending = 997;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoIncomplete = 996;

class ICommDevice {
public:
    virtual ~ICommDevice() = default;

    // CreateFileA(name, read and write, exclusive, OPEN_EXISTING, overlapped).
    virtual bool open(const char* name) = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;

    virtual bool getState(Settings& settings) = 0;
    virtual bool setState(const Settings& settings) = 0;
    virtual bool setZeroTimeouts() = 0;
    virtual bool setupQueues(std::uint32_t input, std::uint32_t output) = 0;
    virtual bool setMask(std::uint32_t mask) = 0;
    virtual bool getModemStatus(std::uint32_t& status) = 0;

    // On an immediate completion, mask receives the events; otherwise completedMask()
    // gives them once the watch has completed.
    virtual bool waitCommEvent(std::uint32_t& mask, platform::Event& done) = 0;
    virtual bool readFile(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                          platform::Event& done) = 0;
    virtual bool writeFile(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                           platform::Event& done) = 0;
    // GetOverlappedResult: with wait false only after the event was seen set.
    virtual bool getOverlappedResult(Operation op, std::uint32_t& moved, bool wait) = 0;
    virtual std::uint32_t completedMask() const = 0;

    // ClearCommError: the line's error flags and the count of bytes waiting in the input
    // queue; either may be null.
    virtual bool clearCommError(std::uint32_t* errors, std::uint32_t* queued) = 0;
    virtual bool purge(std::uint32_t flags) = 0;
    virtual bool cancelIo() = 0;

    // The error code the last failing call left.
    virtual std::uint32_t lastError() const = 0;
};

}  // namespace comm
