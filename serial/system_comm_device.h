// The comm device of the system the program runs on.
#pragma once

#include <memory>

#include "serial/comm_device.h"

namespace comm {

// The Win32 device on Windows. Elsewhere a device that has no ports: every open fails.
std::unique_ptr<ICommDevice> makeSystemCommDevice();

}  // namespace comm
