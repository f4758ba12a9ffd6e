// CEmulator: one emulator, whole: its notifications, its controller and its drive table. The
// automation object reaches the process's one emulator through the driver functions; tests
// build as many as they like, and two never share anything.
//
// Every operation reports only by queueing, and delivers what is queued once it has let go
// of every lock, before it returns (see CNotifier).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/notifier.h"
#include "control/state_store.h"
#include "platform/performance_counter.h"
#include "serial/comm_device.h"
#include "sio/sio_drives.h"

class CEmulator {
public:
    struct Options {
        bool pump = true;                              // deliver every 100 ms and when asked
        platform::PerformanceCounter* counter = nullptr;  // the delay timer's; the system's when null
        std::size_t queueCapacity = CMessageQueue::kCapacity;
        IReceiver* receiver = nullptr;  // attached before the pump's first report
    };

    explicit CEmulator(std::unique_ptr<comm::ICommDevice> device) : CEmulator(std::move(device), Options{}) {}
    CEmulator(std::unique_ptr<comm::ICommDevice> device, const Options& options);
    // Stops the emulation and the pump before the drive table goes.
    ~CEmulator();
    CEmulator(const CEmulator&) = delete;
    CEmulator& operator=(const CEmulator&) = delete;

    void attach(IReceiver* receiver) { notifier_->attach(receiver); }
    void detach(IReceiver* receiver) { notifier_->detach(receiver); }

    static constexpr std::uint8_t kFirstPort = 1;
    static constexpr std::uint8_t kLastPort = 9;

    // Refused when a drive holds the file: it keeps the image it serves.
    bool createImage(const char* path, std::int64_t sectorCount, std::int64_t sectorSize);
    bool mountDisk(const char* path, std::uint8_t drive, bool readOnly);
    // Reports a path that the system's code page cannot represent, as the call at location.
    void refusePath(const char* location, const char* converted);
    bool unMountDisk(std::uint8_t drive);
    void swapDisks(std::uint8_t drive1, std::uint8_t drive2);
    // Stops a running emulation quietly, changes the port, and starts again (with its line)
    // when the new port is open; no start can come between. True when a port is open afterwards.
    // A number outside COM1-COM9 is refused, and changes nothing.
    bool setSerialPort(std::uint8_t port);
    std::uint8_t serialPort() const { return drives_->port().portNumber(); }

    // Queries answer "", false, 0 for a drive outside 1-9 or an empty one. They report
    // nothing and deliver nothing.
    std::string diskPath(std::uint8_t drive);
    bool diskReadOnly(std::uint8_t drive);
    std::uint16_t diskSectorSize(std::uint8_t drive);
    std::uint16_t diskSectorCount(std::uint8_t drive);

    bool start();
    bool stop();
    bool isStopped() const { return controller_->isStopped(); }

    CNotifier& notifier() { return *notifier_; }
    CStateStore& controller() { return *controller_; }
    CSIODrives& driveTable() { return *drives_; }

private:
    // The drive whose image is the file at path, or 0. Only while holding the drive mutex.
    std::uint8_t driveHolding(const char* path) const;
    template <typename T, typename Query>
    T askImage(std::uint8_t drive, T fallback, Query query);

    std::unique_ptr<CNotifier> notifier_;
    std::unique_ptr<CStateStore> controller_;
    std::unique_ptr<CSIODrives> drives_;
};
