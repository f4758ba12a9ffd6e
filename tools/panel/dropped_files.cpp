// Reading a drop's paths and point.
#include "dropped_files.h"

DroppedFiles::~DroppedFiles() {
    if (drop_) DragFinish(drop_);
}

POINT DroppedFiles::point() const {
    POINT p{};
    DragQueryPoint(drop_, &p);
    return p;
}

std::vector<std::wstring> DroppedFiles::paths() const {
    std::vector<std::wstring> out;
    const UINT count = DragQueryFileW(drop_, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        std::wstring path(DragQueryFileW(drop_, i, nullptr, 0) + 1, L'\0');
        path.resize(DragQueryFileW(drop_, i, path.data(), static_cast<UINT>(path.size())));
        out.push_back(path);
    }
    return out;
}
