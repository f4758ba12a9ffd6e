// The bytes of the SIO bus as the computer builds and expects them: command frames, data
// frames, handshake bytes, and the blocks a drive answers with for a given disk geometry.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace rig {

using Bytes = std::vector<std::uint8_t>;

namespace sio {

constexpr std::uint8_t kAck = 0x41;
constexpr std::uint8_t kNak = 0x4E;
constexpr std::uint8_t kComplete = 0x43;

constexpr std::uint8_t kFormat = 0x21;
constexpr std::uint8_t kFormatEnhanced = 0x22;
constexpr std::uint8_t kSpeedUp = 0x3F;
constexpr std::uint8_t kGetConfig = 0x4E;
constexpr std::uint8_t kSetConfig = 0x4F;
constexpr std::uint8_t kPut = 0x50;
constexpr std::uint8_t kRead = 0x52;
constexpr std::uint8_t kStatus = 0x53;
constexpr std::uint8_t kWrite = 0x57;

// The device byte of drive Dn:.
constexpr std::uint8_t device(unsigned drive) { return static_cast<std::uint8_t>(0x30 + drive); }

// The bus's 8-bit sum with end-around carry.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// device, command, aux1, aux2 and their checksum.
Bytes commandFrame(std::uint8_t device, std::uint8_t command, std::uint16_t aux = 0);
// The data followed by their checksum.
Bytes dataFrame(std::span<const std::uint8_t> data);

// What a drive holding an image of this geometry answers to status and get-config, as
// complete data frames (the checksum included).
Bytes statusFrame(std::uint16_t sectorCount, std::uint16_t sectorSize, bool readOnly);
Bytes configFrame(std::uint16_t sectorCount, std::uint16_t sectorSize);
// A format's answer: 0xFF, 0xFF, zeros, and the checksum, over 128 or 256 bytes.
Bytes formatFrame(std::uint16_t sectorSize);

}  // namespace sio
}  // namespace rig
