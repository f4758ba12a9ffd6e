// Sizes for the window's DPI: the panel is laid out in pixels at 96 DPI and scaled, and its
// font follows the monitor the window is on.
#pragma once

#include "platform/win32/windows_api.h"
#include "tools/panel/gdi_object.h"

class DpiScale {
public:
    // The DPI of the monitor the window is on (per-monitor aware); the system's where the
    // system cannot say (before Windows 10).
    static UINT of(HWND window);

    explicit DpiScale(UINT dpi) : dpi_(dpi) {}
    UINT dpi() const { return dpi_; }
    int operator()(int pixelsAt96) const { return MulDiv(pixelsAt96, static_cast<int>(dpi_), 96); }
    // The system's message font at this DPI.
    GdiObject<HFONT> messageFont() const;

private:
    UINT dpi_;
};
