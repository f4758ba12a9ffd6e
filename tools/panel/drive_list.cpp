// The drive rows in a list view.
#include "drive_list.h"

#include <commctrl.h>

#include <iterator>

#include "tools/panel/report_list.h"

namespace {

enum Column { kDrive, kImage, kGeometry, kReadOnly, kLastCommand };
constexpr ListColumn kColumns[] = {
    {L"Drive", 52}, {L"Image", 230}, {L"Geometry", 100}, {L"Read-only", 76}, {L"Last command", 220}};
constexpr COLORREF kLit = RGB(255, 222, 120);

std::wstring fileName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

void DriveList::create(HWND parent, int id, HINSTANCE instance, const DpiScale& scale) {
    list_ = ReportList::create(parent, id, instance, LVS_SINGLESEL, LVS_EX_INFOTIP, kColumns, std::size(kColumns), scale);
    for (int d = 1; d <= kDrives; ++d) {
        std::wstring name = L"D" + std::to_wstring(d) + L":";
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = d - 1;
        item.pszText = name.data();
        ListView_InsertItem(list_, &item);
    }
}

void DriveList::setText(int drive, int column, const std::wstring& text) {
    ListView_SetItemText(list_, drive - 1, column, const_cast<wchar_t*>(text.c_str()));
}

void DriveList::show(int drive, const DriveInfo& info) {
    paths_[static_cast<std::size_t>(drive - 1)] = info.path;
    const bool mounted = !info.path.empty();
    setText(drive, kImage, mounted ? fileName(info.path) : L"");
    // An image not mounted yet (remembered, the server not reached) has no geometry to show.
    setText(drive, kGeometry,
            mounted && info.sectors ? std::to_wstring(info.sectors) + L" x " + std::to_wstring(info.sectorSize) : L"");
    setText(drive, kReadOnly, mounted && info.readOnly ? L"read-only" : L"");
}

void DriveList::showCommand(int drive, const std::wstring& command, const std::wstring& time) {
    setText(drive, kLastCommand, command + L"  (" + time + L")");
}

void DriveList::light(int drive, ULONGLONG until) {
    const bool wasLit = litUntil_[static_cast<std::size_t>(drive - 1)] != 0;
    litUntil_[static_cast<std::size_t>(drive - 1)] = until;
    if (!wasLit) ListView_RedrawItems(list_, drive - 1, drive - 1);
}

bool DriveList::expireLights(ULONGLONG now) {
    bool anyLit = false;
    for (int d = 1; d <= kDrives; ++d) {
        ULONGLONG& until = litUntil_[static_cast<std::size_t>(d - 1)];
        if (until == 0) continue;
        if (until <= now) {
            until = 0;
            ListView_RedrawItems(list_, d - 1, d - 1);
        } else {
            anyLit = true;
        }
    }
    return anyLit;
}

int DriveList::selectedDrive() const {
    const int row = ListView_GetNextItem(list_, -1, LVNI_SELECTED);
    return row < 0 ? 0 : row + 1;
}

void DriveList::select(int drive) {
    ListView_SetItemState(list_, drive - 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(list_, drive - 1, FALSE);
}

int DriveList::driveAt(POINT p) const {
    LVHITTESTINFO hit{};
    hit.pt = p;
    const int row = ListView_SubItemHitTest(list_, &hit);
    return row >= 0 && row < kDrives ? row + 1 : 0;
}

void DriveList::setDropTarget(int drive) {
    ListView_SetItemState(list_, -1, 0, LVIS_DROPHILITED);
    if (drive) ListView_SetItemState(list_, drive - 1, LVIS_DROPHILITED, LVIS_DROPHILITED);
}

int DriveList::fullHeight() const {
    RECT row{}, header{};
    ListView_GetItemRect(list_, 0, &row, LVIR_BOUNDS);
    GetWindowRect(ListView_GetHeader(list_), &header);
    // The client edge takes two pixels on each side.
    return kDrives * (row.bottom - row.top) + (header.bottom - header.top) + 2 * GetSystemMetrics(SM_CYEDGE) + 2;
}

void DriveList::setScale(const DpiScale& scale) {
    ReportList::rescale(list_, kColumns, std::size(kColumns), scale);
}

void DriveList::fit() { ReportList::fillLastColumn(list_, std::size(kColumns)); }

std::optional<LRESULT> DriveList::notify(NMHDR* header) {
    if (header->code == NM_CUSTOMDRAW) {
        auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
        if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
        if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
            const std::size_t row = draw->nmcd.dwItemSpec;
            if (row < litUntil_.size() && litUntil_[row] != 0) {
                draw->clrTextBk = kLit;
                return CDRF_NEWFONT;
            }
            return CDRF_DODEFAULT;
        }
        return CDRF_DODEFAULT;
    }
    if (header->code == LVN_GETINFOTIPW) {
        auto* tip = reinterpret_cast<NMLVGETINFOTIPW*>(header);
        if (tip->iItem >= 0 && tip->iItem < kDrives && tip->cchTextMax > 0) {
            const std::wstring& path = paths_[static_cast<std::size_t>(tip->iItem)];
            lstrcpynW(tip->pszText, path.empty() ? L"(empty)" : path.c_str(), tip->cchTextMax);
        }
        return 0;
    }
    return std::nullopt;
}
