// Owns one movable global memory block (clipboard data) until it is handed to the system.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/win32/windows_api.h"

class GlobalMemory {
public:
    // A block holding a copy of size bytes; invalid when the memory cannot be had.
    GlobalMemory(const void* data, std::size_t size);
    ~GlobalMemory() {
        if (h_) GlobalFree(h_);
    }
    GlobalMemory(const GlobalMemory&) = delete;
    GlobalMemory& operator=(const GlobalMemory&) = delete;

    bool valid() const { return h_ != nullptr; }
    HGLOBAL get() const { return h_; }
    // After SetClipboardData took it: the system frees it from now on.
    HGLOBAL release() { return std::exchange(h_, nullptr); }

private:
    HGLOBAL h_ = nullptr;
};
