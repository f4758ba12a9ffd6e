// The system's file dialogs, as the panel asks them. Each is modal: the caller takes the
// name first and only then calls the server.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"

class FileDialogs {
public:
    // One or more existing disk images; empty when cancelled.
    static std::vector<std::wstring> openImages(HWND owner);
    // A new disk image's path ("new.atr" unless the user types another).
    static std::optional<std::wstring> saveImage(HWND owner, const std::wstring& suggested);
    // Where to write the log.
    static std::optional<std::wstring> saveLog(HWND owner);
};
