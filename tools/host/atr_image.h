// ATR disk images made and read back by the simulated computer: the whole file held in memory,
// so that what a drive serves and what it writes can be compared with it byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sio_frames.h"

namespace rig {

class AtrImage {
public:
    // A blank image: the 16-byte header and a zero body. Sectors 1-3 take 128 bytes whatever
    // the sector size, as on a real double-density disk.
    AtrImage(std::uint16_t sectorCount, std::uint16_t sectorSize);

    // The image in a file; nullopt when it cannot be read or has no ATR header.
    static std::optional<AtrImage> load(const std::string& path);
    bool save(const std::string& path) const;

    std::uint16_t sectorCount() const { return sectorCount_; }
    std::uint16_t sectorSize() const { return sectorSize_; }
    std::uint16_t sizeOf(std::uint16_t sector) const { return sector <= 3 ? 128 : sectorSize_; }

    // Sector 1 to sectorCount(); the bytes live in the image.
    std::span<std::uint8_t> sector(std::uint16_t sector);
    std::span<const std::uint8_t> sector(std::uint16_t sector) const;

    const Bytes& file() const { return file_; }
    // The first file offset at which two images differ, nullopt when they are the same.
    std::optional<std::size_t> firstDifference(const AtrImage& other) const;

private:
    AtrImage() = default;
    std::size_t offsetOf(std::uint16_t sector) const;

    std::uint16_t sectorCount_ = 0;
    std::uint16_t sectorSize_ = 0;
    Bytes file_;
};

// A bootable single-density disk of our own: a boot record whose sector 1 announces three boot
// sectors, loaded at 0x0700, with a small 6502 program that sets the screen colours and
// cycles the background; a DOS 2 style table of contents (sector 360) and directory
// (361-368) naming one text file; every other sector a pattern of its own number, so that any
// sector read from the wrong place shows.
AtrImage makeDemoImage();

// How many boot sectors sector 1 of an image announces (its byte 1).
unsigned bootSectorCount(const AtrImage& image);

}  // namespace rig
