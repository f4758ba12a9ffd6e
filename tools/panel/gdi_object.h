// Owns one GDI object of the panel (a font, a brush) and deletes it with its owner.
#pragma once

#include <utility>

#include "platform/win32/windows_api.h"

template <typename Handle>
class GdiObject {
public:
    GdiObject() = default;
    explicit GdiObject(Handle adopted) : h_(adopted) {}
    ~GdiObject() { reset(); }
    GdiObject(GdiObject&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    GdiObject& operator=(GdiObject&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, nullptr);
        }
        return *this;
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;

    Handle get() const { return h_; }
    // The controls that use it must have let go of it first (WM_SETFONT with another font).
    void reset() {
        if (h_) DeleteObject(std::exchange(h_, nullptr));
    }

private:
    Handle h_ = nullptr;
};
