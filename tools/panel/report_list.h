// The panel's report list views: made with their columns, given at 96 DPI and scaled to the
// window's.
#pragma once

#include <cstddef>

#include "platform/win32/windows_api.h"
#include "tools/panel/dpi_scale.h"

struct ListColumn {
    const wchar_t* title;
    int width;  // at 96 DPI
};

class ReportList {
public:
    // A report list with full-row selection and the styles given, as a child of parent.
    static HWND create(HWND parent, int id, HINSTANCE instance, DWORD style, DWORD extendedStyle,
                       const ListColumn* columns, std::size_t count, const DpiScale& scale);
    static void rescale(HWND list, const ListColumn* columns, std::size_t count, const DpiScale& scale);
    // The last column takes the width the others leave (after the list was resized).
    static void fillLastColumn(HWND list, std::size_t count);
};
