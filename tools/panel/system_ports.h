// Which of COM1 to COM9 the system lists as serial ports (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// where every serial driver enters its ports). The panel still offers the others, marked
// absent: an adapter may be plugged in later.
#pragma once

#include <array>

class SystemPorts {
public:
    // listed()[n] for COMn, n from 1 to 9 (index 0 unused).
    static std::array<bool, 10> listed();
};
