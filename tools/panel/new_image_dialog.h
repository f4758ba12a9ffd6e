// The "New image" dialog: a path, a geometry (single, enhanced or double density, or a custom
// count and size) and, if wanted, the drive to mount the new image in at once. It only asks:
// the caller makes the image once the dialog has closed.
#pragma once

#include <optional>
#include <string>

#include "platform/win32/windows_api.h"
#include "tools/console/console_options.h"

struct NewImageRequest {
    std::wstring path;
    console::Geometry geometry;
    int mountDrive = 0;  // 0: do not mount
};

class NewImageDialog {
public:
    // Modal. mountDrive is offered first in the "Mount" box (0: "do not mount"). nullopt when
    // cancelled.
    static std::optional<NewImageRequest> run(HWND owner, HINSTANCE instance, int mountDrive);

private:
    explicit NewImageDialog(int mountDrive) : result_{{}, {}, mountDrive} {}
    static INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void initialise();
    void command(int id);
    // Reads the controls into result_; false (with the reason shown) when they do not make
    // an image.
    bool accept();
    void enableCustom();

    HWND dialog_ = nullptr;
    NewImageRequest result_;
};
