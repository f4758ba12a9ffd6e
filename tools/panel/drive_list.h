// The nine drive rows of the panel: a report list view with, for each drive, its image's file
// name (the full path as a tooltip), geometry, read-only flag and last command. A row lights
// up for a moment each time the computer uses its drive.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "platform/win32/windows_api.h"
#include "tools/panel/dpi_scale.h"
#include "tools/panel/shell_link.h"

class DriveList {
public:
    static constexpr int kDrives = 9;

    // The list as a child of parent with the control id given.
    void create(HWND parent, int id, HINSTANCE instance, const DpiScale& scale);
    HWND handle() const { return list_; }

    void show(int drive, const DriveInfo& info);
    // "read sector 361" with the time it came ("14:02:11").
    void showCommand(int drive, const std::wstring& command, const std::wstring& time);
    // Lights the row up until the tick count given.
    void light(int drive, ULONGLONG until);
    // Puts out the rows whose time has passed; true while any row is still lit.
    bool expireLights(ULONGLONG now);

    // 1-9, or 0 when no row is selected.
    int selectedDrive() const;
    void select(int drive);
    // The drive whose row holds the point (list client coordinates), or 0.
    int driveAt(POINT p) const;
    // Marks the row under a dragged row (0: none).
    void setDropTarget(int drive);

    // The height that shows all nine rows and the header.
    int fullHeight() const;
    void setScale(const DpiScale& scale);
    // After a resize: the last column reaches the list's right edge.
    void fit();

    // Custom draw and tooltips; nullopt for notifications it leaves to the default.
    std::optional<LRESULT> notify(NMHDR* header);

private:
    void setText(int drive, int column, const std::wstring& text);

    HWND list_ = nullptr;
    std::array<std::wstring, kDrives> paths_;
    std::array<ULONGLONG, kDrives> litUntil_{};
};
