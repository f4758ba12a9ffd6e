// One event of the server as the panel keeps it: copied out of the call that brought it, so
// that the window can take it later from its own message loop.
#pragma once

#include <string>

#include "platform/win32/windows_api.h"
#include "tools/panel/log_model.h"

struct PanelEvent {
    LogKind kind = LogKind::Status;
    SYSTEMTIME time{};     // local time of its arrival
    std::wstring text;     // the log line without its time
    int drive = 0;         // Command: 1-9 for a drive, 0 for another device
    std::wstring command;  // Command: what the drive was asked ("read sector 361")
};
