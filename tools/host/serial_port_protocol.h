// The conversation between the serial port test's driver (serial_port_wine_test, native, the
// computer on the pty) and its Windows side (serial_port_wine.exe, CSIOPort on the mapped COM
// port, under Wine). Every byte the Windows side sends goes through CSIOPort. Each step
// starts with a marker from the Windows side, which tells the driver that the step's transfer
// comes next; the driver then waits, through the modem-line shim, until the wait that
// transfer arms is being polled before it acts on the line. Nothing depends on timing.
//
// The driver changes the command line only while the Windows side waits in a read whose bytes
// it holds back. A command line asserted for a frame stays asserted until the Windows side
// reads a go byte (kGo): the driver releases it during that read, which ignores the release,
// and then sends the byte.
//
//   win  'H' baud[4] byteSize parity stopBits flags[4]    openPort done; GetCommState read back
//   win  'W' 0x41 0x43 frame[129]  'R' bits              writeByte x2, writeBytes; bits: results
//   for each case of port_contract.h:
//   win  'K'  [readBytes(5), writeByte(0x41)]  readBytes(count)
//                                   'R' frameOk ok seen right  go
//                                                        driver plays the case's steps (a
//                                                        stop through standard input, to a
//                                                        second thread); the frame and ACK
//                                                        come first for an afterFrame case
//   win  'L'  kLoopFrames x (readBytes(5), writeByte(reply), go)
//                                   'R' done[2] errors[2] halted
//   win  'Z' errors[2] halted                           done; the Windows side closes the port
//
// One frame (serial_port_wine COMn one-frame), instead of 'W' to 'L', for the driver's
// scenarios that arrange Wine's threads around a single frame read:
//   win  'A'  readBytes(5)          'R' ok b[5]  go
//
// A Windows side that cannot go on sends kFailed (when the port still works), prints why and
// exits non-zero. Numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace port_protocol {

constexpr std::uint8_t kOpened = 'H';
constexpr std::uint8_t kWrites = 'W';
constexpr std::uint8_t kContract = 'K';
constexpr std::uint8_t kGo = 'g';
constexpr std::uint8_t kOneFrame = 'A';
constexpr std::uint8_t kLoop = 'L';
constexpr std::uint8_t kReport = 'R';
constexpr std::uint8_t kDone = 'Z';
constexpr std::uint8_t kFailed = '!';

// What the drive answers on the bus, and the loop's answer to a frame that came in wrong.
constexpr std::uint8_t kAck = 0x41;
constexpr std::uint8_t kComplete = 0x43;
constexpr std::uint8_t kNak = 0x4E;

// The byte the driver sends on the Windows side's standard input to have it request a stop.
constexpr std::uint8_t kStopNow = 's';

constexpr std::size_t kSector = 128;
constexpr std::size_t kDataFrame = kSector + 1;
constexpr int kLoopFrames = 250;

// Each side bounds every wait by this; the Windows side's watchdog halts the port after
// kWatchdogMs without progress, which ends any transfer.
constexpr unsigned kWaitMs = 20000;
constexpr unsigned kWatchdogMs = 30000;

// The SIO checksum: an 8-bit sum with end-around carry.
constexpr std::uint8_t checksum(const std::uint8_t* data, std::size_t length)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        sum += data[i];
        if (sum > 0xFF)
            sum = (sum & 0xFF) + 1;
    }
    return static_cast<std::uint8_t>(sum);
}

// A data frame: a sector of 128 different byte values (251 is odd, so i -> 251 i + seed
// repeats only after 256 steps) and its checksum.
inline void dataFrame(std::uint8_t seed, std::uint8_t* out)
{
    for (std::size_t i = 0; i < kSector; ++i)
        out[i] = static_cast<std::uint8_t>(i * 251u + seed);
    out[kSector] = checksum(out, kSector);
}

constexpr std::uint8_t kWrittenSeed = 7;  // the frame the Windows side writes

// Command frame number n of the test: drive D1-D8, one of five commands, the number as the
// sector, and the checksum.
inline void commandFrame(unsigned n, std::uint8_t* out)
{
    static constexpr std::uint8_t commands[] = {0x52, 0x53, 0x50, 0x57, 0x21};
    out[0] = static_cast<std::uint8_t>(0x31 + n % 8);
    out[1] = commands[n % 5];
    out[2] = static_cast<std::uint8_t>(n);
    out[3] = static_cast<std::uint8_t>(n >> 8);
    out[4] = checksum(out, 4);
}
constexpr unsigned kAcceptedNumber = 1001;  // the one frame of the driver's races

// The Win32 bit fields of the device control block's flag word that the driver checks.
constexpr std::uint32_t kDtrControlMask = 0x0030;  // fDtrControl, bits 4-5
constexpr std::uint32_t kRtsControlMask = 0x3000;  // fRtsControl, bits 12-13
constexpr std::uint32_t kHandshakeMask = 0x034C;   // fOutxCtsFlow, fOutxDsrFlow,
                                                   // fDsrSensitivity, fOutX, fInX

}  // namespace port_protocol
