// CEmulator: the operations of one emulator, each delivering its own reports at its end.
#include "control/emulator.h"

#include "platform/file_attributes.h"
#include "platform/mutex.h"
#include "sio/disk_image.h"

CEmulator::CEmulator(std::unique_ptr<comm::ICommDevice> device, const Options& options)
    : notifier_(std::make_unique<CNotifier>(options.queueCapacity)) {
    if (options.receiver) notifier_->attach(options.receiver);
    controller_ = options.pump ? std::make_unique<CStateStore>(*notifier_)
                               : std::make_unique<CStateStore>(*notifier_, CStateStore::WithoutPump{});
    drives_ = std::make_unique<CSIODrives>(std::move(device), *controller_, *notifier_, options.counter);
    controller_->setDriveTable(drives_.get());
}

CEmulator::~CEmulator() {
    controller_.reset();  // stops the emulation, then the pump
    drives_.reset();
}

template <typename T, typename Query>
T CEmulator::askImage(std::uint8_t drive, T fallback, Query query) {
    if (drive < CSIODrives::kFirstDrive || drive > CSIODrives::kLastDrive) return fallback;
    platform::MutexLock hold(drives_->driveMutex());
    const CDiskImage* image = drives_->imageAt(drive);
    return image ? query(*image) : fallback;
}

bool CEmulator::createImage(const char* path, std::int64_t sectorCount, std::int64_t sectorSize) {
    bool created = false;
    {
        // Held while the file is made, so that no mount of it can slip in: a drive serving the
        // old layout would write into the wrong places of the new one.
        platform::MutexLock hold(drives_->driveMutex());
        const std::uint8_t holder = path ? driveHolding(path) : 0;
        if (holder != 0) {
            notifier_->postSystemError(CDiskImage::kRefused, "CEmulator::createImage", nullptr,
                                       "cannot create %s: it is mounted as D%u:", path, unsigned{holder});
        } else {
            CDiskImage image(*notifier_);
            created = image.createImage(path, sectorCount, sectorSize);
        }
    }
    notifier_->flushNotifications();
    return created;
}

std::uint8_t CEmulator::driveHolding(const char* path) const {
    for (std::uint8_t d = CSIODrives::kFirstDrive; d <= CSIODrives::kLastDrive; ++d) {
        const CDiskImage* image = drives_->imageAt(d);
        if (image && platform::isSameFile(image->getPath(), path)) return d;
    }
    return 0;
}

void CEmulator::refusePath(const char* location, const char* converted) {
    notifier_->postSystemError(CDiskImage::kRefused, location, nullptr,
                               "cannot use the path \"%s\": the system's code page cannot represent every "
                               "character of it", converted ? converted : "");
    notifier_->flushNotifications();
}

bool CEmulator::mountDisk(const char* path, std::uint8_t drive, bool readOnly) {
    const bool mounted = drives_->mountImage(path, drive, readOnly);
    notifier_->flushNotifications();
    return mounted;
}

bool CEmulator::unMountDisk(std::uint8_t drive) {
    const bool unmounted = drives_->unmountImage(drive);
    notifier_->flushNotifications();
    return unmounted;
}

void CEmulator::swapDisks(std::uint8_t drive1, std::uint8_t drive2) {
    drives_->swapImages(drive1, drive2);
    notifier_->flushNotifications();
}

bool CEmulator::setSerialPort(std::uint8_t port) {
    if (port < kFirstPort || port > kLastPort) {
        // Refused before anything stops: a running emulation goes on on its port.
        notifier_->postSystemError(CDiskImage::kRefused, "CEmulator::setSerialPort", nullptr,
                                   "there is no port COM%u: the ports are COM%u to COM%u", unsigned{port},
                                   unsigned{kFirstPort}, unsigned{kLastPort});
        notifier_->flushNotifications();
        return false;
    }
    bool open;
    {
        // Held across all three steps: a start on another thread must not slip in between
        // the stop and the change of port.
        platform::MutexLock hold(controller_->lock());
        const bool wasRunning = !controller_->isStopped();
        if (wasRunning) controller_->stop(true);
        open = drives_->port().setPort(port);
        if (open && wasRunning) controller_->start(false);
    }
    notifier_->flushNotifications();
    return open;
}

std::string CEmulator::diskPath(std::uint8_t drive) {
    return askImage<std::string>(drive, "", [](const CDiskImage& i) { return std::string(i.getPath()); });
}

bool CEmulator::diskReadOnly(std::uint8_t drive) {
    return askImage<bool>(drive, false, [](const CDiskImage& i) { return i.isReadOnly(); });
}

std::uint16_t CEmulator::diskSectorSize(std::uint8_t drive) {
    return askImage<std::uint16_t>(drive, 0, [](const CDiskImage& i) { return i.getSectorSize(); });
}

std::uint16_t CEmulator::diskSectorCount(std::uint8_t drive) {
    return askImage<std::uint16_t>(drive, 0, [](const CDiskImage& i) { return i.getSectorCount(); });
}

bool CEmulator::start() {
    const bool running = controller_->start(false);
    notifier_->flushNotifications();
    return running;
}

bool CEmulator::stop() {
    controller_->stop(false);
    notifier_->flushNotifications();
    return true;
}
