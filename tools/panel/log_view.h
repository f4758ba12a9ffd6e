// The panel's log: a virtual report list over a LogModel, two columns (time, event), each
// line coloured by its kind, with a filter per kind. While the last line is in view the list
// follows new lines; otherwise it stays where the user scrolled to.
#pragma once

#include <optional>
#include <string>

#include "platform/win32/windows_api.h"
#include "tools/panel/dpi_scale.h"
#include "tools/panel/log_model.h"

class LogView {
public:
    // Enough for a day-long run's last hour of bus traffic, small enough to stay quick.
    static constexpr std::size_t kCapacity = 5000;

    void create(HWND parent, int id, HINSTANCE instance, const DpiScale& scale);
    HWND handle() const { return list_; }

    void append(LogLine line) { model_.append(std::move(line)); }
    // Shows what was appended since the last call (one redraw for a batch of lines).
    void refresh();
    void clear();

    void setShown(LogKind kind, bool shown);
    bool shown(LogKind kind) const { return model_.shown(kind); }

    // The selected lines, or every line shown when none is selected.
    std::wstring copyText() const;
    // Every line shown, as UTF-8 text; false when the file cannot be written.
    bool save(const std::wstring& path) const;

    void setScale(const DpiScale& scale);
    // After a resize: the last column reaches the list's right edge.
    void fit();
    // The lines' texts and colours; nullopt for notifications it leaves to the default.
    std::optional<LRESULT> notify(NMHDR* header);

private:
    HWND list_ = nullptr;
    LogModel model_{kCapacity};
};
