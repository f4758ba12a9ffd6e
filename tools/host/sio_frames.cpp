#include "sio_frames.h"

namespace rig::sio {

std::uint8_t checksum(std::span<const std::uint8_t> bytes)
{
    unsigned sum = 0;
    for (std::uint8_t b : bytes) {
        sum += b;
        sum = (sum & 0xFF) + (sum >> 8);
    }
    return static_cast<std::uint8_t>(sum);
}

Bytes commandFrame(std::uint8_t device, std::uint8_t command, std::uint16_t aux)
{
    Bytes frame{device, command, static_cast<std::uint8_t>(aux & 0xFF),
                static_cast<std::uint8_t>(aux >> 8)};
    frame.push_back(checksum(frame));
    return frame;
}

Bytes dataFrame(std::span<const std::uint8_t> data)
{
    Bytes frame(data.begin(), data.end());
    frame.push_back(checksum(data));
    return frame;
}

Bytes statusFrame(std::uint16_t sectorCount, std::uint16_t sectorSize, bool readOnly)
{
    std::uint8_t flags = 0x10;
    if (readOnly)
        flags |= 0x08;
    if (sectorSize == 128 && sectorCount > 720)
        flags |= 0x80;
    else if (sectorSize == 256)
        flags |= 0x20;
    const Bytes block{flags, 0x00, 0x01, 0x00};
    return dataFrame(block);
}

Bytes configFrame(std::uint16_t sectorCount, std::uint16_t sectorSize)
{
    // The low byte of the sector size only: a 256-byte drive says 0x00 there.
    const Bytes block{0x01, 0x01, static_cast<std::uint8_t>(sectorCount >> 8),
                      static_cast<std::uint8_t>(sectorCount & 0xFF), 0x00, 0x00, 0x00,
                      static_cast<std::uint8_t>(sectorSize & 0xFF), 0x40, 0x00, 0x00, 0x00};
    return dataFrame(block);
}

Bytes formatFrame(std::uint16_t sectorSize)
{
    Bytes data(sectorSize == 256 ? 256 : 128, 0x00);
    data[0] = data[1] = 0xFF;
    return dataFrame(data);
}

}  // namespace rig::sio
