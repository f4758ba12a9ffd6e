// The driver functions: the plain layer the automation object calls. They act on the
// process's one emulator, which the first attach creates and which lasts until the process
// ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/receiver.h"
#include "serial/comm_device.h"

class CEmulator;

// Creates the process's emulator if there is none yet (with device as the serial port's
// comm device; the system's when null), then puts shell on top of its receivers.
void drvAttach(IReceiver* shell, std::unique_ptr<comm::ICommDevice> device = nullptr);
// Takes shell out of the receivers, wherever it stands; the others keep theirs.
void drvDetach(IReceiver* shell);
// At the process's end, once no client can call: stops a running emulation, joins its
// thread and destroys the emulator, while everything it uses is still there.
void drvShutdown();

// A path the system's code page cannot hold (shown as converted, with its stand-ins) is
// refused with an Error from location: used as converted, it could name another file.
void drvRefusePath(const char* location, const char* converted);
bool drvCreateImage(const char* path, std::int64_t sectorCount, std::int64_t sectorSize);
bool drvMountDisk(const char* path, std::uint8_t drive, bool readOnly);
bool drvUnMountDisk(std::uint8_t drive);
void drvSwapDisks(std::uint8_t drive1, std::uint8_t drive2);
bool drvSetSerialPort(std::uint8_t port);
std::uint8_t drvSerialPort();

std::string drvDiskPath(std::uint8_t drive);
bool drvDiskReadOnly(std::uint8_t drive);
std::uint16_t drvDiskSectorSize(std::uint8_t drive);
std::uint16_t drvDiskSectorCount(std::uint8_t drive);

bool drvStart();
bool drvStop();
bool drvIsStopped();

// Delivers what is queued on the calling thread, unless another thread is delivering.
void flushNotifications();

// The process's emulator (null before the first attach).
CEmulator* drvEmulator();
