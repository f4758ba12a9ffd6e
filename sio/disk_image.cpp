// CDiskImage: creating, opening, checking and serving ATR image files.
#include "sio/disk_image.h"

#include <cstring>

#include "platform/file_attributes.h"
#include "platform/format.h"
#include "platform/system_error.h"
#include "sio/checksum.h"

namespace {

constexpr std::uint32_t kImageRefused = 100;  // our own number for images we will not serve
constexpr std::uint16_t kAtrMagic = 0x0296;
constexpr std::uint16_t kBootSectorSize = 128;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// A header describes the body in whole paragraphs of a 24-bit count; a sector count below 3
// with sectors above 128 bytes gives a negative body and a sector above kMaxSectorSize
// cannot cross the bus.
bool headerCanDescribe(std::uint16_t sectorCount, std::uint16_t sectorSize) {
    if (sectorSize == 0 || sectorSize > CDiskImage::kMaxSectorSize) return false;
    return sectorCount >= 3 || sectorSize <= kBootSectorSize;
}

}  // namespace

CDiskImage::~CDiskImage() { closeImage(); }

bool CDiskImage::createImage(const char* path, std::uint16_t sectorCount, std::uint16_t sectorSize) {
    if (!path) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::createImage", nullptr, "no path given for the new image");
        return false;
    }
    if (!headerCanDescribe(sectorCount, sectorSize)) {
        reporter_.postSystemError(kImageRefused, "CDiskImage::createImage", nullptr,
                        "cannot create %s: an atr image cannot hold %u sectors of %u bytes", path,
                        unsigned{sectorCount}, unsigned{sectorSize});
        return false;
    }
    platform::clearReadOnlyAttribute(path);
    file_.reset(std::fopen(path, "wb"));
    if (!file_) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::createImage", "fopen");
        return false;
    }
    const std::int32_t paragraphs =
        (std::int32_t{sectorCount} - 3) * std::int32_t{sectorSize} / 16 + 24;
    paragraphs_ = static_cast<std::uint32_t>(paragraphs);
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
    sectorSize_ = sectorSize;
    paragraphs_ = std::uint32_t{header_[6]} * 65536 + le16(header_ + 2);
    // Unsigned on purpose: bodies of fewer than three boot sectors wrap to the right count.
    sectorCount_ = static_cast<std::uint16_t>((paragraphs_ * 16 - 384) / sectorSize_ + 3);
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

std::uint16_t CDiskImage::readSector(std::uint8_t* buffer, std::uint16_t sector) {
    const std::uint16_t n = sectorSizeOf(sector);
    // Whatever cannot be read goes out as zeros, never as the bytes of an earlier sector.
    std::memset(buffer, 0, n);
    if (!file_) return n;
    if (std::fseek(file_.get(), static_cast<long>(sectorOffset(sector)), SEEK_SET) != 0) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::readSector", "fseek");
        return n;
    }
    const std::size_t got = std::fread(buffer, 1, n, file_.get());
    if (got < n) {
        reporter_.postSystemError(platform::lastError(), "CDiskImage::readSector", "fread");
        std::memset(buffer + got, 0, n - got);
    }
    return n;
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
