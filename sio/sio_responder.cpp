// CSIODrives, the responder: the drive side of the SIO bus protocol.
//
// Each command frame is checked, reported, and, when it addresses a drive with an image,
// answered under the drive table's lock with the handshake of its row in the command table:
// ACK or NAK at once, COMPLETE 1500 us after the ACK, and the data frame with its checksum.
// A sector that the file cannot give is answered ERROR in place of COMPLETE, with a blank
// frame: zeros under COMPLETE would pass for the disk's data.
#include "sio/sio_drives.h"


namespace {

constexpr std::uint8_t kAck = 0x41;
constexpr std::uint8_t kNak = 0x4E;
constexpr std::uint8_t kComplete = 0x43;
constexpr std::uint8_t kError = 0x45;
constexpr std::uint32_t kCompleteDelayUs = 1500;
constexpr std::uint32_t kBackOffMs = 5;

struct CommandRow {
    std::uint8_t command;
    const char* name;
    void (CSIODrives::*serve)(CDiskImage&, std::uint16_t sector);
};

}  // namespace

// The commands a drive serves. 0x72, the fast read, stays out: the speed-up that would
// announce it is refused.
struct CommandTable {
    static constexpr CommandRow rows[] = {
        {0x21, "format", &CSIODrives::serveFormat},
        {0x22, "format-ED", &CSIODrives::serveFormatEnhanced},
        {0x3F, "speed-up", &CSIODrives::serveSpeedUp},
        {0x4E, "get-config", &CSIODrives::serveGetConfig},
        {0x4F, "set-config", &CSIODrives::serveSetConfig},
        {0x50, "put", &CSIODrives::serveWrite},
        {0x52, "read", &CSIODrives::serveRead},
        {0x53, "status", &CSIODrives::serveStatus},
        {0x57, "write", &CSIODrives::serveWrite},
    };
};

namespace {

const CommandRow* rowOf(std::uint8_t command) {
    for (const CommandRow& row : CommandTable::rows)
        if (row.command == command) return &row;
    return nullptr;
}

}  // namespace

const char* CSIODrives::commandName(std::uint8_t command) {
    const CommandRow* row = rowOf(command);
    return row ? row->name : "unknown?";
}

bool CSIODrives::isAdmittedCommand(std::uint8_t command) { return rowOf(command) != nullptr; }

void CSIODrives::runEmulation() {
    for (;;) {
        if (runState_.isStopRequested() || runState_.isHalted()) {
            port_->endWatch();
            return;
        }
        std::uint8_t frame[5];
        if (!port_->readCommandFrame(frame)) {
            // A read that failed without waiting for anything would make this loop spin at
            // time-critical priority: give the line a moment, unless asked to end.
            if (!port_->lastTransferWaited()) {
                const platform::Event* wake[] = {&runState_.stopRequestEvent(), &runState_.haltEvent()};
                platform::waitAny(wake, 2, kBackOffMs);
            }
            continue;
        }
        if (!checkCommandFrame(frame)) continue;
        dispatchCommand(frame);
    }
}

std::uint32_t emulationThreadMain(void* drives) {
    static_cast<CSIODrives*>(drives)->runEmulation();
    return 0;
}

bool CSIODrives::checkCommandFrame(std::uint8_t* frame) {
    if (sioChecksum(frame, 4) == frame[4]) return true;
    // Bytes left over from an earlier frame put this one out of step; the frame proper is
    // the last five bytes before the command line's release.
    if (port_->recoverCommandFrame(frame) && sioChecksum(frame, 4) == frame[4]) return true;
    reporter_.postDebug("BAD SUM - command frame");
    port_->purgeBuffers();
    return false;
}

void CSIODrives::dispatchCommand(const std::uint8_t* frame) {
    const std::uint8_t drive = static_cast<std::uint8_t>(frame[0] - 0x30);
    const std::uint16_t sector = static_cast<std::uint16_t>(frame[2] + 256 * frame[3]);
    const CommandRow* row = rowOf(frame[1]);
    const char* name = commandName(frame[1]);
    if (drive < kFirstDrive || drive > kLastDrive) {
        reporter_.postUnknownCommand(frame[0], frame[1], frame[2], frame[3], frame[4], drive, sector, name);
        reporter_.postDebug("unknown device - %02x", drive);
        return;
    }
    if (!row) {
        reporter_.postUnknownCommand(frame[0], frame[1], frame[2], frame[3], frame[4], drive, sector, name);
        return;
    }
    reporter_.postCommand(frame[0], frame[1], frame[2], frame[3], frame[4], drive, sector, name);
    platform::MutexLock hold(driveMutex_);
    CDiskImage* image = imageAt(drive);
    if (!image) {
        reporter_.postStatus("[no image mounted]");
        return;
    }
    (this->*row->serve)(*image, sector);
}

bool CSIODrives::nak(const char* message) {
    if (!port_->writeByte(kNak)) return false;
    if (message) reporter_.postDebug("%s", message);
    return true;
}

void CSIODrives::serveStatus(CDiskImage& image, std::uint16_t) {
    if (!port_->writeByte(kAck)) return;
    timer_->delayMicroseconds(kCompleteDelayUs);
    if (!port_->writeByte(kComplete)) return;
    port_->writeBytes(image.getStatusBlock(), 5);
}

void CSIODrives::serveGetConfig(CDiskImage& image, std::uint16_t) {
    if (!port_->writeByte(kAck)) return;
    timer_->delayMicroseconds(kCompleteDelayUs);
    if (!port_->writeByte(kComplete)) return;
    sendConfig(image);
}

void CSIODrives::serveSetConfig(CDiskImage& image, std::uint16_t) {
    if (!port_->writeByte(kAck)) return;
    if (receiveConfig(image)) {
        if (!port_->writeByte(kAck)) return;
        timer_->delayMicroseconds(kCompleteDelayUs);
        port_->writeByte(kComplete);
    } else if (!port_->commandLineSeen()) {
        nak("[NAK - data frame]");
    }
}

void CSIODrives::serveRead(CDiskImage& image, std::uint16_t sector) {
    if (sector == 0 || sector > image.getSectorCount()) {
        nak("[NAK - invalid sector]");
        return;
    }
    if (!port_->writeByte(kAck)) return;
    timer_->delayMicroseconds(kCompleteDelayUs);
    sendSector(image, sector);
}

void CSIODrives::serveWrite(CDiskImage& image, std::uint16_t sector) {
    if (image.isReadOnly()) {
        nak("[NAK - read-only image]");
        return;
    }
    if (sector == 0 || sector > image.getSectorCount()) {
        nak("[NAK - invalid sector]");
        return;
    }
    if (!port_->writeByte(kAck)) return;
    if (receiveSector(image, sector)) {
        if (!port_->writeByte(kAck)) return;
        timer_->delayMicroseconds(kCompleteDelayUs);
        port_->writeByte(kComplete);
    } else if (!port_->commandLineSeen()) {
        nak("[NAK - data frame]");
    }
}

void CSIODrives::serveFormat(CDiskImage& image, std::uint16_t) {
    // Every send is attempted: the computer waits for the whole answer. The image is kept.
    port_->writeByte(kAck);
    timer_->delayMicroseconds(kCompleteDelayUs);
    port_->writeByte(kComplete);
    if (image.getSectorSize() == 256) port_->writeBytes(formatFrame256_, sizeof formatFrame256_);
    else port_->writeBytes(formatFrame128_, sizeof formatFrame128_);
}

void CSIODrives::serveFormatEnhanced(CDiskImage& image, std::uint16_t sector) {
    if (image.getSectorCount() == 720) {
        nak(nullptr);
        return;
    }
    serveFormat(image, sector);
}

void CSIODrives::serveSpeedUp(CDiskImage&, std::uint16_t) { nak(nullptr); }

bool CSIODrives::sendConfig(CDiskImage& image) { return port_->writeBytes(image.getConfigBlock(), 13); }

bool CSIODrives::receiveConfig(CDiskImage& image) {
    std::uint8_t block[13];
    if (!port_->readBytes(block, 13)) return false;
    if (sioChecksum(block, 12) != block[12]) {
        reporter_.postDebug("BAD SUM - data frame");
        port_->purgeBuffers();
        return false;
    }
    return image.setConfigBlock(block);
}

bool CSIODrives::sendSector(CDiskImage& image, std::uint16_t sector) {
    const std::uint16_t n = image.sectorSizeOf(sector);
    const bool readable = image.readSector(frameBuffer_, sector) == n;
    if (!port_->writeByte(readable ? kComplete : kError)) return false;
    frameBuffer_[n] = sioChecksum(frameBuffer_, n);
    return port_->writeBytes(frameBuffer_, n + 1u) && readable;
}

bool CSIODrives::receiveSector(CDiskImage& image, std::uint16_t sector) {
    const std::uint16_t n = image.sectorSizeOf(sector);
    if (n + 1u > sizeof frameBuffer_) return false;  // images with such sectors are refused at load
    if (!port_->readBytes(frameBuffer_, n + 1u)) return false;
    if (sioChecksum(frameBuffer_, n) != frameBuffer_[n]) {
        reporter_.postDebug("BAD SUM - data frame");
        port_->purgeBuffers();
        return false;
    }
    return image.writeSector(frameBuffer_, sector) == n;
}
