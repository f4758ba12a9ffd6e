// The conversation between the serial rig's driver (serial_rig_test, native) and its probe
// (serial_rig_probe.exe, under Wine) over the line itself. Every step is announced on the
// wire before the other side acts, so nothing depends on timing.
//
//   probe  'H'                      port open, DCB set (DTR and RTS disabled)
//   for each of kRingEdges edges:
//     probe  'A'                    WaitCommEvent(EV_RING) is pending
//     driver                        toggles the ring indicator: at once for the first half
//                                   of the edges, and for the second half once Wine has been
//                                   seen polling the modem lines (through the shim's counts)
//     probe  'E' mask[4] status[1]  the wait completed: event mask (little-endian) and
//                                   GetCommModemStatus
//   probe  'D'                      ready for data
//   driver  pattern(kDriverSeed) paced, then pattern(kDriverSeed2) unpaced
//   probe  'K', or 'X' index[2] got[1] on the first wrong byte
//   probe  pattern(kProbeSeed)
//   probe  'Z'                      done; the probe closes the port and exits 0
//
// A probe that fails sends '!' (when the port is open), prints why and exits non-zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rig_protocol {

constexpr std::uint8_t kOpened = 'H';
constexpr std::uint8_t kArmed = 'A';
constexpr std::uint8_t kEvent = 'E';
constexpr std::uint8_t kReadyForData = 'D';
constexpr std::uint8_t kDataGood = 'K';
constexpr std::uint8_t kDataBad = 'X';
constexpr std::uint8_t kDone = 'Z';
constexpr std::uint8_t kFailed = '!';

constexpr int kRingEdges = 20;      // rises and falls alternately, starting with a rise
constexpr std::size_t kBlock = 256; // every byte value once per block
constexpr std::uint8_t kDriverSeed = 13;
constexpr std::uint8_t kDriverSeed2 = 77;
constexpr std::uint8_t kProbeSeed = 201;
constexpr unsigned kWaitMs = 20000; // every wait on either side is bounded by this

// The Win32 values the driver reads in the probe's reports (EV_RING, MS_RING_ON).
constexpr std::uint32_t kEvRing = 0x0100;
constexpr std::uint8_t kMsRingOn = 0x40;

// A block holding each of the 256 byte values once (167 is odd, so i -> 167 i is a
// permutation), in an order that puts XON, XOFF, CR, LF, 0x00 and 0xFF among ordinary bytes.
constexpr std::uint8_t patternByte(std::uint8_t seed, std::size_t i)
{
    return static_cast<std::uint8_t>(i * 167u + seed);
}

}  // namespace rig_protocol
