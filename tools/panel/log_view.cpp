// The log in a virtual list view: the control asks for each visible line's text when it draws.
#include "log_view.h"

#include <commctrl.h>

#include <cstdio>
#include <iterator>
#include <memory>

#include "tools/console/wide_text.h"
#include "tools/panel/report_list.h"

namespace {

constexpr ListColumn kColumns[] = {{L"Time", 96}, {L"Event", 640}};

COLORREF colourOf(LogKind kind) {
    switch (kind) {
    case LogKind::Command:
        return GetSysColor(COLOR_WINDOWTEXT);
    case LogKind::Status:
        return RGB(0, 70, 160);
    case LogKind::Debug:
        return RGB(112, 112, 112);
    case LogKind::Error:
        return RGB(190, 0, 0);
    }
    return GetSysColor(COLOR_WINDOWTEXT);
}

}  // namespace

void LogView::create(HWND parent, int id, HINSTANCE instance, const DpiScale& scale) {
    list_ = ReportList::create(parent, id, instance, LVS_OWNERDATA, 0, kColumns, std::size(kColumns), scale);
}

void LogView::refresh() {
    const int before = ListView_GetItemCount(list_);
    const int count = static_cast<int>(model_.visibleCount());
    // Following: the last line was in view (or there was none).
    const bool follow = before == 0 || ListView_GetTopIndex(list_) + ListView_GetCountPerPage(list_) >= before;
    ListView_SetItemCountEx(list_, count, LVSICF_NOSCROLL);
    if (follow && count > 0) ListView_EnsureVisible(list_, count - 1, FALSE);
    // The oldest lines may have gone: every row may show another line now.
    InvalidateRect(list_, nullptr, FALSE);
}

void LogView::clear() {
    model_.clear();
    refresh();
}

void LogView::setShown(LogKind kind, bool shown) {
    model_.setShown(kind, shown);
    ListView_SetItemState(list_, -1, 0, LVIS_SELECTED);
    refresh();
}

std::wstring LogView::copyText() const {
    std::wstring text;
    for (int row = ListView_GetNextItem(list_, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(list_, row, LVNI_SELECTED))
        text += model_.visibleText(static_cast<std::size_t>(row), 1);
    return text.empty() ? model_.visibleText(0, model_.visibleCount()) : text;
}

bool LogView::save(const std::wstring& path) const {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file(_wfopen(path.c_str(), L"wb"));
    if (!file) return false;
    const std::string bytes = console::narrow(model_.visibleText(0, model_.visibleCount()));
    return std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() && std::fflush(file.get()) == 0;
}

void LogView::setScale(const DpiScale& scale) {
    ReportList::rescale(list_, kColumns, std::size(kColumns), scale);
}

void LogView::fit() { ReportList::fillLastColumn(list_, std::size(kColumns)); }

std::optional<LRESULT> LogView::notify(NMHDR* header) {
    if (header->code == LVN_GETDISPINFOW) {
        auto* info = reinterpret_cast<NMLVDISPINFOW*>(header);
        const auto row = static_cast<std::size_t>(info->item.iItem);
        if ((info->item.mask & LVIF_TEXT) && row < model_.visibleCount()) {
            const LogLine& line = model_.visibleLine(row);
            // The list copies the text before the model changes again.
            info->item.pszText = const_cast<wchar_t*>(info->item.iSubItem == 0 ? line.time.c_str() : line.text.c_str());
        }
        return 0;
    }
    if (header->code == NM_CUSTOMDRAW) {
        auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
        if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
        if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
            const std::size_t row = draw->nmcd.dwItemSpec;
            if (row < model_.visibleCount()) draw->clrText = colourOf(model_.visibleLine(row).kind);
            return CDRF_NEWFONT;
        }
        return CDRF_DODEFAULT;
    }
    return std::nullopt;
}
