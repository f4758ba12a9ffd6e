// The system's list of serial ports.
#include "system_ports.h"

#include <cwctype>
#include <string>

#include "tools/panel/registry_key.h"

std::array<bool, 10> SystemPorts::listed() {
    std::array<bool, 10> found{};
    const RegistryKey key = RegistryKey::open(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", false);
    for (const std::wstring& name : key.texts()) {
        // "COM3"; COM10 and beyond are not ours to serve.
        if (name.size() == 4 && _wcsnicmp(name.c_str(), L"COM", 3) == 0 && name[3] >= L'1' && name[3] <= L'9')
            found[static_cast<std::size_t>(name[3] - L'0')] = true;
    }
    return found;
}
