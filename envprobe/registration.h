// Self-registration: the class, its program identifier, the interface and the type library.
#pragma once

#include "envprobe/win32.h"

#include <string>

namespace envprobe {

// The program identifier clients create the class by.
inline constexpr wchar_t kProgId[] = L"envprobe.Test";

// Registers the server at `exePath` (LocalServer32) and the type library it carries. On
// failure it removes whatever it wrote and returns the first error.
HRESULT registerServer(const std::wstring& exePath);

// Removes everything registerServer writes. Succeeds when nothing is registered.
HRESULT unregisterServer();

}  // namespace envprobe
