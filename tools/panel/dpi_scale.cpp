// GetDpiForWindow is looked up at run time: Windows 7 and 8 have no such function.
#include "dpi_scale.h"

namespace {

UINT systemDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

}  // namespace

UINT DpiScale::of(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    const UINT dpi = getDpiForWindow && window ? getDpiForWindow(window) : 0;
    return dpi ? dpi : systemDpi();
}

GdiObject<HFONT> DpiScale::messageFont() const {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    LOGFONTW font{};
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        font = metrics.lfMessageFont;
        // Given at the system's DPI; this window's may differ.
        font.lfHeight = MulDiv(font.lfHeight, static_cast<int>(dpi_), static_cast<int>(systemDpi()));
    } else {
        font.lfHeight = -(*this)(12);
        lstrcpyW(font.lfFaceName, L"MS Shell Dlg 2");
    }
    return GdiObject<HFONT>(CreateFontIndirectW(&font));
}
