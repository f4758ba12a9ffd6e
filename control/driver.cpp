// The driver functions and the process's three objects.
#include "control/driver.h"

#include "control/message_queue.h"
#include "control/notifications.h"
#include "control/state_store.h"
#include <atomic>

#include "platform/mutex.h"
#include "sio/disk_image.h"
#include "sio/sio_drives.h"
#include "serial/system_comm_device.h"

namespace {

// The process's objects, in their order of creation. The mutex only guards creation and
// shutdown; once created the objects are reached without it.
struct Objects {
    platform::Mutex creation;
    std::unique_ptr<CMessageQueue> queue;
    std::unique_ptr<CStateStore> controller;
    std::atomic<CSIODrives*> driveTable{nullptr};
    std::unique_ptr<CSIODrives> drives;
};

Objects& objects() {
    static Objects o;
    return o;
}

bool isDrive(std::uint8_t drive) { return drive >= 1 && drive <= 9; }

// Runs query on the mounted image under the drive table's lock, or answers the default.
template <typename T, typename Query>
T askImage(std::uint8_t drive, T fallback, Query query) {
    CSIODrives* drives = drvDriveTable();
    if (!drives || !isDrive(drive)) return fallback;
    platform::MutexLock hold(drives->driveMutex());
    const CDiskImage* image = drives->imageAt(drive);
    return image ? query(*image) : fallback;
}

}  // namespace

CSIODrives* drvDriveTable() { return objects().driveTable.load(); }
CStateStore* drvController() { return drvDriveTable() ? objects().controller.get() : nullptr; }

void drvAttach(IReceiver* shell, std::unique_ptr<comm::ICommDevice> device) {
    Objects& o = objects();
    {
        platform::MutexLock hold(o.creation);
        if (!o.driveTable.load()) {
            o.queue = std::make_unique<CMessageQueue>();
            setNotificationQueue(o.queue.get());
            o.controller = std::make_unique<CStateStore>();
            setStateStore(o.controller.get());
            o.drives = std::make_unique<CSIODrives>(device ? std::move(device) : comm::makeSystemCommDevice());
            o.controller->setDriveTable(o.drives.get());
            o.driveTable.store(o.drives.get());
        }
    }
    attachReceiver(shell);
}

void drvDetach() { detachReceiver(); }

void drvShutdown() {
    Objects& o = objects();
    platform::MutexLock hold(o.creation);
    detachReceiver();
    if (!o.driveTable.load()) return;
    o.controller->stop(true);
    o.driveTable.store(nullptr);
    o.controller.reset();  // ends the pump, then waits for any emulation thread
    setStateStore(nullptr);
    o.drives.reset();
    setNotificationQueue(nullptr);
    o.queue.reset();
}

bool drvCreateImage(const char* path, std::uint32_t sectorCount, std::uint32_t sectorSize) {
    CDiskImage image;
    return image.createImage(path, static_cast<std::uint16_t>(sectorCount), static_cast<std::uint16_t>(sectorSize));
}

bool drvMountDisk(const char* path, std::uint8_t drive, bool readOnly) {
    CSIODrives* drives = drvDriveTable();
    return drives && drives->mountImage(path, drive, readOnly);
}

bool drvUnMountDisk(std::uint8_t drive) {
    CSIODrives* drives = drvDriveTable();
    return drives && drives->unmountImage(drive);
}

void drvSwapDisks(std::uint8_t drive1, std::uint8_t drive2) {
    if (CSIODrives* drives = drvDriveTable()) drives->swapImages(drive1, drive2);
}

bool drvSetSerialPort(std::uint8_t port) {
    CSIODrives* drives = drvDriveTable();
    CStateStore* controller = drvController();
    if (!drives || !controller) return false;
    // Held across all three steps: a start on another thread must not slip in between the
    // stop and the change of port.
    platform::MutexLock hold(controller->lock());
    const bool wasRunning = !controller->isStopped();
    if (wasRunning) controller->stop(true);
    const bool open = drives->port().setPort(port);
    if (open && wasRunning) controller->start(false);
    return open;
}

std::uint8_t drvSerialPort() {
    CSIODrives* drives = drvDriveTable();
    return drives ? drives->port().portNumber() : 0;
}

std::string drvDiskPath(std::uint8_t drive) {
    return askImage<std::string>(drive, "", [](const CDiskImage& i) { return std::string(i.getPath()); });
}

bool drvDiskReadOnly(std::uint8_t drive) {
    return askImage<bool>(drive, false, [](const CDiskImage& i) { return i.isReadOnly(); });
}

std::uint16_t drvDiskSectorSize(std::uint8_t drive) {
    return askImage<std::uint16_t>(drive, 0, [](const CDiskImage& i) { return i.getSectorSize(); });
}

std::uint16_t drvDiskSectorCount(std::uint8_t drive) {
    return askImage<std::uint16_t>(drive, 0, [](const CDiskImage& i) { return i.getSectorCount(); });
}

bool drvStart() {
    CStateStore* controller = drvController();
    return controller && controller->start(false);
}

bool drvStop() {
    if (CStateStore* controller = drvController()) controller->stop(false);
    return true;
}

bool drvIsStopped() {
    CStateStore* controller = drvController();
    return !controller || controller->isStopped();
}
