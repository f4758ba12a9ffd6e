// The driver functions over the process's one emulator.
#include "control/driver.h"

#include <atomic>
#include <mutex>

#include "control/emulator.h"
#include "serial/system_comm_device.h"

namespace {

std::mutex creation;
std::unique_ptr<CEmulator> processEmulator;  // guarded by creation; made once, gone at shutdown
std::atomic<CEmulator*> published{nullptr};

}  // namespace

CEmulator* drvEmulator() { return published.load(); }

void drvAttach(IReceiver* shell, std::unique_ptr<comm::ICommDevice> device) {
    {
        std::lock_guard<std::mutex> hold(creation);
        if (!processEmulator) {
            processEmulator = std::make_unique<CEmulator>(device ? std::move(device) : comm::makeSystemCommDevice());
            published.store(processEmulator.get());
        }
    }
    drvEmulator()->attach(shell);
}

void drvDetach(IReceiver* shell) {
    if (CEmulator* e = drvEmulator()) e->detach(shell);
}

void drvShutdown() {
    std::unique_ptr<CEmulator> ending;
    {
        std::lock_guard<std::mutex> hold(creation);
        published.store(nullptr);
        ending = std::move(processEmulator);
    }
    ending.reset();  // outside the lock: the stop waits for the emulation thread
}

void drvRefusePath(const char* location, const char* converted) {
    if (CEmulator* e = drvEmulator()) e->refusePath(location, converted);
}

bool drvCreateImage(const char* path, std::int64_t sectorCount, std::int64_t sectorSize) {
    CEmulator* e = drvEmulator();
    return e && e->createImage(path, sectorCount, sectorSize);
}

bool drvMountDisk(const char* path, std::uint8_t drive, bool readOnly) {
    CEmulator* e = drvEmulator();
    return e && e->mountDisk(path, drive, readOnly);
}

bool drvUnMountDisk(std::uint8_t drive) {
    CEmulator* e = drvEmulator();
    return e && e->unMountDisk(drive);
}

void drvSwapDisks(std::uint8_t drive1, std::uint8_t drive2) {
    if (CEmulator* e = drvEmulator()) e->swapDisks(drive1, drive2);
}

bool drvSetSerialPort(std::uint8_t port) {
    CEmulator* e = drvEmulator();
    return e && e->setSerialPort(port);
}

std::uint8_t drvSerialPort() {
    CEmulator* e = drvEmulator();
    return e ? e->serialPort() : 0;
}

std::string drvDiskPath(std::uint8_t drive) {
    CEmulator* e = drvEmulator();
    return e ? e->diskPath(drive) : std::string();
}

bool drvDiskReadOnly(std::uint8_t drive) {
    CEmulator* e = drvEmulator();
    return e && e->diskReadOnly(drive);
}

std::uint16_t drvDiskSectorSize(std::uint8_t drive) {
    CEmulator* e = drvEmulator();
    return e ? e->diskSectorSize(drive) : 0;
}

std::uint16_t drvDiskSectorCount(std::uint8_t drive) {
    CEmulator* e = drvEmulator();
    return e ? e->diskSectorCount(drive) : 0;
}

bool drvStart() {
    CEmulator* e = drvEmulator();
    return e && e->start();
}

bool drvStop() {
    if (CEmulator* e = drvEmulator()) e->stop();
    return true;
}

bool drvIsStopped() {
    CEmulator* e = drvEmulator();
    return !e || e->isStopped();
}

void flushNotifications() {
    if (CEmulator* e = drvEmulator()) e->notifier().flushNotifications();
}
