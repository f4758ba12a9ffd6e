// Report list views and their column headers.
#include "report_list.h"

#include <commctrl.h>

#include <algorithm>

HWND ReportList::create(HWND parent, int id, HINSTANCE instance, DWORD style, DWORD extendedStyle,
                        const ListColumn* columns, std::size_t count, const DpiScale& scale) {
    const HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS |
                                          LVS_NOSORTHEADER | style,
                                      0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                                      nullptr);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | extendedStyle);
    for (std::size_t i = 0; i < count; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(columns[i].title);
        column.cx = scale(columns[i].width);
        ListView_InsertColumn(list, static_cast<int>(i), &column);
    }
    return list;
}

void ReportList::rescale(HWND list, const ListColumn* columns, std::size_t count, const DpiScale& scale) {
    for (std::size_t i = 0; i < count; ++i) ListView_SetColumnWidth(list, static_cast<int>(i), scale(columns[i].width));
}

void ReportList::fillLastColumn(HWND list, std::size_t count) {
    RECT client{};
    GetClientRect(list, &client);
    int width = static_cast<int>(client.right);
    // Room for a vertical scroll bar that is not there yet: lines still to come would
    // otherwise bring a horizontal one with it.
    if (!(GetWindowLongPtrW(list, GWL_STYLE) & WS_VSCROLL)) width -= GetSystemMetrics(SM_CXVSCROLL);
    for (std::size_t i = 0; i + 1 < count; ++i) width -= ListView_GetColumnWidth(list, static_cast<int>(i));
    ListView_SetColumnWidth(list, static_cast<int>(count - 1), std::max(width, 40));
}
