// A copy of some bytes in a movable global block.
#include "global_memory.h"

#include <cstring>

GlobalMemory::GlobalMemory(const void* data, std::size_t size) : h_(GlobalAlloc(GMEM_MOVEABLE, size)) {
    if (!h_) return;
    void* p = GlobalLock(h_);
    if (!p) {
        GlobalFree(std::exchange(h_, nullptr));
        return;
    }
    std::memcpy(p, data, size);
    GlobalUnlock(h_);
}
