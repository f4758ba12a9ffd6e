// CSIODrives: the drive table D1:-D9: and the drive side of the SIO bus that serves it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/mutex.h"
#include "platform/performance_counter.h"
#include "serial/comm_device.h"
#include "serial/precision_timer.h"
#include "serial/reporter.h"
#include "serial/run_state.h"
#include "serial/sio_port.h"
#include "sio/disk_image.h"

class CSIODrives {
public:
    static constexpr std::uint8_t kFirstDrive = 1;
    static constexpr std::uint8_t kLastDrive = 9;

    // device: the comm device of the port. runState ends the responder's loop and every
    // transfer; reporter takes every report; counter drives the delay timer (the system's
    // when null). None of the three is owned.
    CSIODrives(std::unique_ptr<comm::ICommDevice> device, CRunState& runState, IReporter& reporter,
               platform::PerformanceCounter* counter = nullptr);
    virtual ~CSIODrives();
    CSIODrives(const CSIODrives&) = delete;
    CSIODrives& operator=(const CSIODrives&) = delete;

    // --- the drive table
    bool mountImage(const char* path, std::uint8_t drive, bool readOnly);
    bool unmountImage(std::uint8_t drive);
    void swapImages(std::uint8_t drive1, std::uint8_t drive2);
    // The image in a slot, or null; only while holding driveMutex().
    CDiskImage* imageAt(std::uint8_t drive) const;
    platform::Mutex& driveMutex() { return driveMutex_; }
    CSIOPort& port() { return *port_; }
    static std::uint8_t sioChecksum(const std::uint8_t* data, std::size_t length);

    // --- the responder (emulation thread only)
    // Serves command frames until the controller asks to stop or halts.
    void runEmulation();
    bool checkCommandFrame(std::uint8_t* frame);
    void dispatchCommand(const std::uint8_t* frame);
    static const char* commandName(std::uint8_t command);
    static bool isAdmittedCommand(std::uint8_t command);
    bool sendConfig(CDiskImage& image);
    bool receiveConfig(CDiskImage& image);
    // COMPLETE and the sector's frame; ERROR and a blank frame when the file cannot give it.
    bool sendSector(CDiskImage& image, std::uint16_t sector);
    bool receiveSector(CDiskImage& image, std::uint16_t sector);

    const std::uint8_t* formatFrame128() const { return formatFrame128_; }
    const std::uint8_t* formatFrame256() const { return formatFrame256_; }

private:
    friend struct CommandTable;

    // The handshakes of the admitted commands, one per row of the command table.
    void serveFormat(CDiskImage& image, std::uint16_t sector);
    void serveFormatEnhanced(CDiskImage& image, std::uint16_t sector);
    void serveSpeedUp(CDiskImage& image, std::uint16_t sector);
    void serveGetConfig(CDiskImage& image, std::uint16_t sector);
    void serveSetConfig(CDiskImage& image, std::uint16_t sector);
    void serveWrite(CDiskImage& image, std::uint16_t sector);
    void serveRead(CDiskImage& image, std::uint16_t sector);
    void serveStatus(CDiskImage& image, std::uint16_t sector);
    bool nak(const char* message);
    // True for D1:-D9:; any other number is reported as an Error from location.
    bool checkDrive(std::uint8_t drive, const char* location);

    CRunState& runState_;
    IReporter& reporter_;
    std::unique_ptr<CSIOPort> port_;
    std::uint8_t formatFrame128_[129] = {};
    std::uint8_t formatFrame256_[257] = {};
    platform::Mutex driveMutex_;
    std::unique_ptr<CDiskImage> drives_[10];
    std::unique_ptr<CPrecisionTimer> timer_;
    std::uint8_t frameBuffer_[1024] = {};
};

// The emulation thread's entry: argument is the CSIODrives; returns 0.
std::uint32_t emulationThreadMain(void* drives);
