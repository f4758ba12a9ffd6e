// CSIODrives: construction, the drive slots and their operations.
#include "sio/sio_drives.h"

#include <cstring>

#include "sio/checksum.h"

namespace {

bool isDrive(std::uint8_t drive) {
    return drive >= CSIODrives::kFirstDrive && drive <= CSIODrives::kLastDrive;
}

// The name shown in the mount line: what follows the last backslash.
const char* fileNameOf(const char* path) {
    const char* slash = std::strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

template <std::size_t N>
void buildFormatFrame(std::uint8_t (&frame)[N]) {
    std::memset(frame, 0, N);
    frame[0] = 0xFF;
    frame[1] = 0xFF;
    frame[N - 1] = ::sioChecksum(frame, N - 1);
}

}  // namespace

CSIODrives::CSIODrives(std::unique_ptr<comm::ICommDevice> device, CRunState& runState, IReporter& reporter,
                       platform::PerformanceCounter* counter)
    : runState_(runState),
      reporter_(reporter),
      timer_(counter ? std::make_unique<CPrecisionTimer>(*counter) : std::make_unique<CPrecisionTimer>()) {
    port_ = std::make_unique<CSIOPort>(std::move(device), runState, reporter);
    buildFormatFrame(formatFrame128_);
    buildFormatFrame(formatFrame256_);
}

CSIODrives::~CSIODrives() {
    platform::MutexLock hold(driveMutex_);
    for (std::uint8_t d = kFirstDrive; d <= kLastDrive; ++d) unmountImage(d);
    timer_.reset();
    port_.reset();
}

std::uint8_t CSIODrives::sioChecksum(const std::uint8_t* data, std::size_t length) {
    return ::sioChecksum(data, length);
}

bool CSIODrives::checkDrive(std::uint8_t drive, const char* location) {
    if (isDrive(drive)) return true;
    reporter_.postSystemError(CDiskImage::kRefused, location, nullptr,
                              "there is no drive %u: the drives are numbered %u to %u", unsigned{drive},
                              unsigned{kFirstDrive}, unsigned{kLastDrive});
    return false;
}

bool CSIODrives::mountImage(const char* path, std::uint8_t drive, bool readOnly) {
    platform::MutexLock hold(driveMutex_);
    if (!checkDrive(drive, "CSIODrives::mountImage")) return false;
    unmountImage(drive);
    drives_[drive] = std::make_unique<CDiskImage>(reporter_);
    CDiskImage& image = *drives_[drive];
    const bool loaded = image.loadImage(path, readOnly);
    if (loaded) {
        reporter_.postStatus("%s mounted as D%d:%s [%d %d-byte sectors]", fileNameOf(path), drive,
                   image.isReadOnly() ? " read-only" : "", image.getSectorCount(), image.getSectorSize());
        if (image.sectorsHeld() < image.getSectorCount())
            reporter_.postStatus("%s holds %u of its %u sectors: the rest read as blank", fileNameOf(path),
                                 unsigned{image.sectorsHeld()}, unsigned{image.getSectorCount()});
    } else {
        unmountImage(drive);
    }
    return loaded;
}

bool CSIODrives::unmountImage(std::uint8_t drive) {
    platform::MutexLock hold(driveMutex_);
    if (!checkDrive(drive, "CSIODrives::unmountImage")) return false;
    drives_[drive].reset();
    return true;
}

void CSIODrives::swapImages(std::uint8_t drive1, std::uint8_t drive2) {
    if (!checkDrive(drive1, "CSIODrives::swapImages") || !checkDrive(drive2, "CSIODrives::swapImages")) return;
    platform::MutexLock hold(driveMutex_);
    std::swap(drives_[drive1], drives_[drive2]);
    reporter_.postStatus("swapped disk %d and %d", drive1, drive2);
}

CDiskImage* CSIODrives::imageAt(std::uint8_t drive) const {
    return isDrive(drive) ? drives_[drive].get() : nullptr;
}
