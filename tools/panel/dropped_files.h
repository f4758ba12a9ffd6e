// Owns the HDROP of one WM_DROPFILES: the paths dropped and where, released with DragFinish.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/windows_api.h"

#include <shellapi.h>

class DroppedFiles {
public:
    explicit DroppedFiles(HDROP drop) : drop_(drop) {}
    ~DroppedFiles();
    DroppedFiles(const DroppedFiles&) = delete;
    DroppedFiles& operator=(const DroppedFiles&) = delete;

    // In the receiving window's client coordinates.
    POINT point() const;
    std::vector<std::wstring> paths() const;

private:
    HDROP drop_;
};
