// CDiskImage: one ATR disk image file, the medium of one emulated drive.
//
// File layout: a 16-byte header (0x96 0x02; body size in 16-byte paragraphs, bits 0-15 at
// offset 2 and bits 16-23 at offset 6; sector size at offset 4), then the sectors from 1 up.
// Sectors 1-3 always take 128 bytes, whatever the image's sector size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "serial/reporter.h"

class CDiskImage {
public:
    // The largest sector the emulator serves: the responder's frame buffer is 1024 bytes and
    // a frame carries a checksum byte after the sector.
    static constexpr std::uint16_t kMaxSectorSize = 1023;
    static constexpr std::size_t kMaxPathLength = 1023;
    // The Error number of a request refused for what it asks (a geometry, an image, a drive),
    // rather than failed by the system.
    static constexpr std::uint32_t kRefused = 100;

    // File errors go to reporter (not owned).
    explicit CDiskImage(IReporter& reporter) : reporter_(reporter) {}
    virtual ~CDiskImage();
    CDiskImage(const CDiskImage&) = delete;
    CDiskImage& operator=(const CDiskImage&) = delete;

    // Writes a blank image that mounts back with exactly this geometry; leaves this object
    // empty. Any other geometry is refused, with its reason, before the file is touched. The
    // numbers are taken as a caller gives them, unnarrowed. True when the whole file was
    // written.
    bool createImage(const char* path, std::int64_t sectorCount, std::int64_t sectorSize);
    // Why no image of this geometry can mount back as asked; null when one can.
    static const char* geometryFault(std::int64_t sectorCount, std::int64_t sectorSize);
    // Opens an image (read-only when asked, or when the system refuses write access) and
    // takes its geometry from the header. A header whose sector count does not fit 16 bits,
    // or that holds no sector, is refused. A failure leaves the object empty.
    bool loadImage(const char* path, bool readOnly);
    void closeImage();

    const char* getPath() const { return path_; }
    bool isReadOnly() const { return readOnly_; }
    std::uint16_t getSectorSize() const { return sectorSize_; }
    std::uint16_t getSectorCount() const { return sectorCount_; }
    std::uint16_t sectorSizeOf(std::uint16_t sector) const;
    std::uint32_t sectorOffset(std::uint16_t sector) const;
    // The whole sectors the file held when it was loaded: fewer than getSectorCount() for an
    // image shorter than its header says, whose missing sectors read as zeros.
    std::uint16_t sectorsHeld() const;

    // buffer holds sectorSizeOf(sector) bytes. What cannot be read is zero-filled. Returns
    // sectorSizeOf(sector), or 0 when the sector could not be read (reported) for a reason
    // other than lying beyond the end of an image that was already short when loaded.
    std::uint16_t readSector(std::uint8_t* buffer, std::uint16_t sector);
    // Returns the bytes stored and flushed to the file: 0 when refused or failed.
    std::uint16_t writeSector(const std::uint8_t* buffer, std::uint16_t sector);

    // Each rebuilds the object's own block and returns it; valid until the next call.
    const std::uint8_t* getConfigBlock();
    bool setConfigBlock(const std::uint8_t* block);
    const std::uint8_t* getStatusBlock();

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    IReporter& reporter_;
    char path_[2048] = {};
    std::uint16_t sectorSize_ = 0;
    std::uint16_t sectorCount_ = 0;
    std::uint32_t paragraphs_ = 0;
    std::uint64_t loadedLength_ = 0;  // the file's length when loaded
    std::unique_ptr<std::FILE, FileCloser> file_;
    bool readOnly_ = false;
    std::uint8_t header_[16] = {};
    std::uint8_t configBlock_[13] = {};
    std::uint8_t statusBlock_[5] = {};
};
