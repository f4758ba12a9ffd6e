// The driver functions: the plain layer the automation object calls. It creates the
// process's notification queue, controller and drive table on first attach, keeps them for
// the life of the process, and keeps the one receiver of notifications.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/receiver.h"
#include "serial/comm_device.h"

class CSIODrives;
class CStateStore;
class CMessageQueue;

// Creates the three objects if they do not exist yet (with device as the serial port's
// comm device; the system's when null), then makes shell the receiver.
void drvAttach(IReceiver* shell, std::unique_ptr<comm::ICommDevice> device = nullptr);
// No receiver from now on, whichever was attached.
void drvDetach();

bool drvCreateImage(const char* path, std::uint32_t sectorCount, std::uint32_t sectorSize);
bool drvMountDisk(const char* path, std::uint8_t drive, bool readOnly);
bool drvUnMountDisk(std::uint8_t drive);
void drvSwapDisks(std::uint8_t drive1, std::uint8_t drive2);
// Stops a running emulation quietly, changes the port, and starts again (with its line) when
// the new port is open; no start can come between. True when a port is open afterwards.
bool drvSetSerialPort(std::uint8_t port);
std::uint8_t drvSerialPort();

// Queries answer "", false, 0 for a drive outside 1-9 or an empty one.
std::string drvDiskPath(std::uint8_t drive);
bool drvDiskReadOnly(std::uint8_t drive);
std::uint16_t drvDiskSectorSize(std::uint8_t drive);
std::uint16_t drvDiskSectorCount(std::uint8_t drive);

bool drvStart();
bool drvStop();
bool drvIsStopped();

// Ends the process's objects in reverse order (tests; the server never needs it).
void drvShutdown();
// The objects, for tests and the automation object (null before the first attach).
CSIODrives* drvDriveTable();
CStateStore* drvController();
