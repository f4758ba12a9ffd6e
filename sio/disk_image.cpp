// CDiskImage: creating, opening, checking and serving ATR image files.
#include "sio/disk_image.h"

#include <cstring>
#include <string>

#include "platform/file_attributes.h"
#include "platform/format.h"
#include "platform/system_error.h"
#include "sio/checksum.h"

namespace {

constexpr std::uint32_t kImageRefused = CDiskImage::kRefused;
constexpr std::uint16_t kAtrMagic = 0x0296;
constexpr std::uint16_t kBootSectorSize = 128;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Sectors 1-3 take 128 bytes whatever the sector size, so a body of fewer than three sectors
// holds boot sectors only.
std::uint64_t sectorsInBody(std::uint64_t bodyBytes, std::uint16_t sectorSize) {
    constexpr std::uint64_t kBootBytes = 3 * kBootSectorSize;
    if (bodyBytes < kBootBytes) return bodyBytes / kBootSectorSize;
    return (bodyBytes - kBootBytes) / sectorSize + 3;
}

// wsprintf-style formatting has no 64-bit conversion.
std::string decimal(std::int64_t n) { return std::to_string(n); }

}  // namespace

CDiskImage::~CDiskImage() { closeImage(); }

const char* CDiskImage::geometryFault(std::int64_t sectorCount, std::int64_t sectorSize) {
    if (sectorCount < 1 || sectorCount > 65535) return "an image holds 1 to 65535 sectors";
    if (sectorSize < 1 || sectorSize > kMaxSectorSize) return "sectors of 1 to 1023 bytes are served";
    // The header counts the body in 16-byte paragraphs: a body that ends inside one would
    // mount back a sector short.
    if (sectorCount > 3 && (sectorCount - 3) * sectorSize % 16 != 0)
        return "the sectors after the third do not fill whole 16-byte paragraphs";
    return nullptr;
}

bool CDiskImage::createImage(const char* path, std::int64_t sectorCount, std::int64_t sectorSize) {
    if (!path) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::createImage", nullptr, "no path given for the new image");
        return false;
    }
    if (const char* fault = geometryFault(sectorCount, sectorSize)) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::createImage", nullptr,
                                  "cannot create %s with %s sectors of %s bytes: %s", path,
                                  decimal(sectorCount).c_str(), decimal(sectorSize).c_str(), fault);
        return false;
    }
    platform::clearReadOnlyAttribute(path);
    file_.reset(std::fopen(path, "wb"));
    if (!file_) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::createImage", "fopen");
        return false;
    }
    const std::int64_t bodyBytes =
        sectorCount <= 3 ? sectorCount * kBootSectorSize : 3 * kBootSectorSize + (sectorCount - 3) * sectorSize;
    paragraphs_ = static_cast<std::uint32_t>(bodyBytes / 16);
    std::memset(header_, 0, sizeof header_);
    header_[0] = kAtrMagic & 0xFF;
    header_[1] = kAtrMagic >> 8;
    header_[2] = static_cast<std::uint8_t>(paragraphs_);
    header_[3] = static_cast<std::uint8_t>(paragraphs_ >> 8);
    header_[4] = static_cast<std::uint8_t>(sectorSize);
    header_[5] = static_cast<std::uint8_t>(sectorSize >> 8);
    header_[6] = static_cast<std::uint8_t>(paragraphs_ >> 16);
    if (std::fwrite(header_, 16, 1, file_.get()) != 1) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::createImage", "fwrite.1");
        closeImage();
        return false;
    }
    static const std::uint8_t zeros[16] = {};
    for (std::uint32_t i = 0; i < paragraphs_; ++i) {
        if (std::fwrite(zeros, 1, 16, file_.get()) != 16) {
            reporter_.postSystemError(platform::lastError(), "CDiskImage::createImage", "fwrite.2");
            closeImage();
            return false;
        }
    }
    // The last buffered bytes reach the disk only here: a failed close is a failed image.
    if (std::fclose(file_.release()) != 0) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::createImage", "fclose");
        return false;
    }
    return true;
}

bool CDiskImage::loadImage(const char* path, bool readOnly) {
    closeImage();
    if (!path) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::loadImage", nullptr, "no path given for the image");
        return false;
    }
    if (std::strlen(path) > kMaxPathLength) {
        // Storing it would cut it, and the cut path may name another file.
        reporter_.postSystemError(platform::errorNameTooLong(), "CDiskImage::loadImage", nullptr,
                        "path of %u characters is too long (at most %u)",
                        static_cast<unsigned>(std::strlen(path)), unsigned{kMaxPathLength});
        return false;
    }
    platform::formatText(path_, sizeof path_, "%s", path);

    readOnly_ = readOnly;
    if (readOnly_) {
        file_.reset(std::fopen(path_, "rb"));
    } else {
        file_.reset(std::fopen(path_, "r+b"));
        if (!file_ && platform::lastError() == platform::errorAccessDenied()) {
            readOnly_ = true;
            file_.reset(std::fopen(path_, "rb"));
        }
    }
    if (!file_) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::loadImage", "fopen");
        closeImage();
        return false;
    }
    // The length decides nothing about the geometry; it tells a short image from one cut
    // short later, and a file too short for a header from a failed read.
    long length = -1;
    if (std::fseek(file_.get(), 0, SEEK_END) == 0) length = std::ftell(file_.get());
    std::rewind(file_.get());
    loadedLength_ = length < 0 ? UINT64_MAX : static_cast<std::uint64_t>(length);
    if (loadedLength_ < sizeof header_) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::loadImage", nullptr,
                                  "not an ATR image: %s holds %u bytes, fewer than its 16-byte header",
                                  path_, static_cast<unsigned>(loadedLength_));
        closeImage();
        return false;
    }
    if (std::fread(header_, 16, 1, file_.get()) != 1) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::loadImage", "fread");
        closeImage();
        return false;
    }
    if (le16(header_) != kAtrMagic) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::loadImage", nullptr,
                        "invalid atr header identification bytes in %s", path_);
        closeImage();
        return false;
    }
    const std::uint16_t sectorSize = le16(header_ + 4);
    if (sectorSize == 0 || sectorSize > kMaxSectorSize) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::loadImage", nullptr,
                        "unsupported sector size %u in %s (1 to %u bytes are served)",
                        unsigned{sectorSize}, path_, unsigned{kMaxSectorSize});
        closeImage();
        return false;
    }
    const std::uint32_t paragraphs = std::uint32_t{header_[6]} * 65536 + le16(header_ + 2);
    // Counted wide: a header that describes more sectors than a sector number can reach is
    // refused, never cut to 16 bits.
    const std::uint64_t count = sectorsInBody(std::uint64_t{paragraphs} * 16, sectorSize);
    if (count == 0 || count > 65535) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::loadImage", nullptr,
                                  "the header of %s describes %s sectors of %u bytes (an image holds 1 to 65535)",
                                  path_, decimal(static_cast<std::int64_t>(count)).c_str(), unsigned{sectorSize});
        closeImage();
        return false;
    }
    sectorSize_ = sectorSize;
    paragraphs_ = paragraphs;
    sectorCount_ = static_cast<std::uint16_t>(count);
    return true;
}

void CDiskImage::closeImage() {
    file_.reset();
    path_[0] = '\0';
}

std::uint16_t CDiskImage::sectorSizeOf(std::uint16_t sector) const {
    return sector <= 3 ? kBootSectorSize : sectorSize_;
}

std::uint32_t CDiskImage::sectorOffset(std::uint16_t sector) const {
    if (sector < 4) return 128u * sector - 112u;
    return std::uint32_t{sectorSize_} * (sector - 4u) + 400u;
}

std::uint16_t CDiskImage::sectorsHeld() const {
    const std::uint64_t body = loadedLength_ > sizeof header_ ? loadedLength_ - sizeof header_ : 0;
    const std::uint64_t held = sectorsInBody(body, sectorSize_);
    return held < sectorCount_ ? static_cast<std::uint16_t>(held) : sectorCount_;
}

std::uint16_t CDiskImage::readSector(std::uint8_t* buffer, std::uint16_t sector) {
    const std::uint16_t n = sectorSizeOf(sector);
    // Whatever cannot be read goes out as zeros, never as the bytes of an earlier sector.
    std::memset(buffer, 0, n);
    if (!file_ || sector == 0) return 0;  // sector 0 has no place in the file
    const std::uint32_t offset = sectorOffset(sector);
    std::clearerr(file_.get());
    if (std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) != 0) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::readSector", "fseek");
        return 0;
    }
    const std::size_t got = std::fread(buffer, 1, n, file_.get());
    if (got == n) return n;
    if (std::ferror(file_.get())) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::readSector", "fread");
        return 0;
    }
    // The end of the file. Where the image already ended when it was loaded, the missing
    // sectors are blank, as tools that write short images mean them; anywhere else the file
    // has been cut short under the drive, and zeros would pass for its data.
    if (offset + got >= loadedLength_) return n;
    reporter_.postSystemError(kImageRefused, "CDiskImage::readSector", "fread",
                              "%s was cut short after it was mounted: sector %u lies beyond its end",
                              path_, unsigned{sector});
    return 0;
}

std::uint16_t CDiskImage::writeSector(const std::uint8_t* buffer, std::uint16_t sector) {
    if (sector == 0 || sector > sectorCount_ || !file_) return 0;
    const std::uint16_t n = sectorSizeOf(sector);
    if (std::fseek(file_.get(), static_cast<long>(sectorOffset(sector)), SEEK_SET) != 0) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::writeSector", "fseek");
        return 0;
    }
    const std::size_t stored = std::fwrite(buffer, 1, n, file_.get());
    if (stored < n) reporter_.postSystemError(platform::lastError(), "CDiskImage::writeSector", "fwrite");
    // The computer is told the write succeeded: make it true before answering.
    if (std::fflush(file_.get()) != 0) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::writeSector", "fflush");
        return 0;
    }
    return static_cast<std::uint16_t>(stored);
}

const std::uint8_t* CDiskImage::getConfigBlock() {
    std::memset(configBlock_, 0, sizeof configBlock_);
    configBlock_[0] = 0x01;
    configBlock_[1] = 0x01;
    configBlock_[2] = static_cast<std::uint8_t>(sectorCount_ >> 8);
    configBlock_[3] = static_cast<std::uint8_t>(sectorCount_);
    configBlock_[7] = static_cast<std::uint8_t>(sectorSize_);
    configBlock_[8] = 0x40;
    configBlock_[12] = sioChecksum(configBlock_, 12);
    return configBlock_;
}

bool CDiskImage::setConfigBlock(const std::uint8_t*) { return true; }

const std::uint8_t* CDiskImage::getStatusBlock() {
    statusBlock_[0] = 0x10;
    if (readOnly_) statusBlock_[0] += 0x08;
    if (sectorSize_ == 128 && sectorCount_ > 720) statusBlock_[0] += 0x80;
    else if (sectorSize_ == 256) statusBlock_[0] += 0x20;
    statusBlock_[1] = 0x00;
    statusBlock_[2] = 0x01;
    statusBlock_[3] = 0x00;
    statusBlock_[4] = sioChecksum(statusBlock_, 4);
    return statusBlock_;
}
